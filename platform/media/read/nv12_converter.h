// Converts decoded frames of any pixel format to NV12 full range (plane 0 luma 0..255).
// Internal to platform/media.
#pragma once

#include "platform/image/pixel_buffer.h"
#include "platform/media/av_handles.h"
#include "platform/process/result.h"

namespace talvex::media {

// Keeps one swscale context and rebuilds it only when the source format changes.
// Lifecycle: one per stream of frames. Threading: one thread at a time.
class Nv12Converter {
 public:
  // Limited-range sources are expanded to full range; full-range ones are copied as they are.
  Result<PixelBuffer> convert(const AVFrame& frame);

 private:
  SwsContextPtr sws_;
  int srcW_ = 0, srcH_ = 0, srcFormat_ = -1, srcRange_ = -1, srcSpace_ = -1;
};

}  // namespace talvex::media
