// A camera's pixel data as a frame image. Internal to platform/media.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/image/pixel_buffer.h"
#include "platform/process/result.h"

namespace talvex::media {

enum class CaptureFormat { Mjpeg, Yuyv, Nv12 };

// How a device lays out its frames, as it answered the format request.
struct CaptureLayout {
  CaptureFormat format = CaptureFormat::Mjpeg;
  int width = 0, height = 0;
  int bytesPerLine = 0;  // raw formats: bytes per row of the first plane (0: packed)
  // Raw formats: whether luma already spans 0..255. Camera JPEG is always full range.
  bool fullRange = false;
};

// NV12 full range at outWidth x outHeight: JPEG decoded, raw formats copied, limited range
// expanded and a frame of another size scaled. Fails on a damaged JPEG or a short buffer.
Result<PixelBuffer> captureToNv12(const CaptureLayout& layout, const uint8_t* data, size_t size,
                                  int outWidth, int outHeight);

}  // namespace talvex::media
