// A camera's pixel data as a frame image. Internal to platform/media.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/image/pixel_buffer.h"
#include "platform/media/camera/capture_format.h"
#include "platform/process/result.h"

namespace talvex::media {

// Where a picture of width x height goes in an outWidth x outHeight frame with its aspect kept:
// as large as fits, centred, on even pixels.
struct FitRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const FitRect&) const = default;
};
FitRect fitInside(int width, int height, int outWidth, int outHeight);

// How a device lays out its frames, as it answered the format request.
struct CaptureLayout {
  CaptureFormat format = CaptureFormat::Mjpeg;
  int width = 0, height = 0;
  // Raw formats: bytes per row of the first plane (0: packed); I420's chroma rows are half that.
  int bytesPerLine = 0;
  // Raw formats: whether luma already spans 0..255. Camera JPEG is always full range.
  bool fullRange = false;
  // Frames per second the device says it gives (0: it did not say).
  double fps = 0;
};

// Turns camera frames into NV12 full range at outWidth x outHeight: JPEG decoded (TurboJPEG,
// 4:2:0, 4:2:2, 4:4:4 or grey; a decode that only warned is a good picture), raw formats copied,
// limited range expanded and a frame of another size fitted in with its aspect kept (black
// bars). Fails on a damaged JPEG, one of another size than the layout's, or a short buffer.
// Lifecycle: one per stream of frames, keeping its JPEG decoder. Threading: one thread at a time.
class CaptureConverter {
 public:
  CaptureConverter();
  ~CaptureConverter();
  CaptureConverter(const CaptureConverter&) = delete;
  CaptureConverter& operator=(const CaptureConverter&) = delete;

  Result<PixelBuffer> convert(const CaptureLayout& layout, const uint8_t* data, size_t size,
                              int outWidth, int outHeight);

 private:
  // Decoded at the smallest of libjpeg's reduced sizes that still fills outWidth x outHeight,
  // and fitted into a frame of that size.
  Result<PixelBuffer> decodeJpeg(const CaptureLayout& layout, const uint8_t* data, size_t size,
                                 int outWidth, int outHeight);
  // Decoded planes of a w x h picture (chroma cw x ch) fitted into the frame.
  PixelBuffer fitPlanes(unsigned char* const planes[3], int w, int h, int cw, int ch, int subsamp,
                        int outWidth, int outHeight);
  // Whether a TurboJPEG call's result is a picture: success, or only a warning.
  bool succeeded(int tjResult) const;

  struct TurboJpegDeleter {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, TurboJpegDeleter> jpeg_;
  std::vector<uint8_t> planes_;  // decoded JPEG planes, reused between frames
  std::vector<uint8_t> chroma_;  // their chroma at the frame's size, before interleaving
};

}  // namespace talvex::media
