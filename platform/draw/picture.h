// A picture to draw on: 8-bit RGB with alpha, in the form the drawing library renders into. No
// Cairo or libyuv type appears here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/image/pixel_buffer.h"
#include "platform/process/result.h"

namespace talvex::draw {

struct Rgba {
  uint8_t r = 0, g = 0, b = 0, a = 0;
};

// Lifecycle: made by create() or fromFrame(), drawn on through a Canvas, then read back
// (toFrame(), writePng(), pixel()). Owns its pixels; move-only. Threading: one thread at a time.
class Picture {
 public:
  // A picture of `width` x `height`, opaque black. Fails for sizes the library refuses.
  static Result<Picture> create(int width, int height);
  // The same, fully transparent: a layer to draw once and lay over many pictures.
  static Result<Picture> createTransparent(int width, int height);
  // The frame (NV12 full range) as an opaque RGB picture of the same size.
  static Result<Picture> fromFrame(const PixelBuffer& frame);

  Picture(Picture&&) noexcept;
  Picture& operator=(Picture&&) noexcept;
  ~Picture();

  int width() const;
  int height() const;

  // Copies the picture into `frame`, which must be an NV12 buffer of the same size, as full
  // range BT.601 (the inverse of fromFrame). Reusing one buffer saves an allocation per frame.
  Status toFrame(PixelBuffer& frame) const;
  // Writes the picture as a PNG file, atomically (the old file or the whole new one).
  Status writePng(const std::string& path) const;
  // The pixel at (x, y), alpha not premultiplied; transparent black outside the picture.
  Rgba pixel(int x, int y) const;

  // Opaque outside platform/draw.
  struct Impl;
  const Impl& impl() const { return *impl_; }

 private:
  explicit Picture(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvex::draw
