// Decoded pictures handed on without a pixel conversion. Internal to platform/media.
#pragma once

#include <optional>

#include "platform/image/pixel_buffer.h"
#include "platform/media/av_handles.h"

namespace talvex::media {

// Whether the frame's samples use the full 0..255 range: said by its range, or implied by the
// JPEG pixel formats. Unknown counts as limited range, as the video standards have it.
bool isFullRange(const AVFrame& frame);

// The frame as an I420 buffer that shares the decoder's memory (a new reference to the frame,
// released with the last copy of the buffer): for 8-bit planar 4:2:0 pictures only, in the
// range and matrix the stream gives (BT.709 when it says so, BT.601 otherwise). Nothing for any
// other pixel format, which needs a conversion.
std::optional<PixelBuffer> sharedI420(const AVFrame& frame);

}  // namespace talvex::media
