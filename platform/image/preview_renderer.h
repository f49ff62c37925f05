// The preview image: a frame mirrored left to right, scaled down and encoded as JPEG. No
// libyuv or TurboJPEG type appears here.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/image/pixel_buffer.h"
#include "platform/process/result.h"

namespace talvex {

// Lifecycle: one per frame producer, reused for every preview (keeps its encoder and scratch
// planes). Threading: one thread at a time.
class PreviewRenderer {
 public:
  // `width` of the preview; the height follows the frame's proportions (270 for 1280x720 at
  // 480). `quality` is the JPEG quality, 1..100.
  explicit PreviewRenderer(int width = 480, int quality = 80);
  ~PreviewRenderer();
  PreviewRenderer(const PreviewRenderer&) = delete;
  PreviewRenderer& operator=(const PreviewRenderer&) = delete;

  // The JPEG bytes of `frame` (NV12), mirrored left to right, full-range YCbCr as JFIF wants.
  Result<std::vector<uint8_t>> render(const PixelBuffer& frame);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvex
