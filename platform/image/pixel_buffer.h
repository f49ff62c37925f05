// A frame image: 8-bit bi-planar 4:2:0 full-range Y'CbCr (NV12, full range). Plane 0 holds
// luma 0..255 with its own bytes per row; plane 1 holds interleaved Cb/Cr at half resolution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace talvex {

struct PlaneView {
  uint8_t* base = nullptr;
  int width = 0;   // in samples (for plane 1: chroma pairs)
  int height = 0;  // in rows
  int bytesPerRow = 0;
};

// Owns its pixels (or shares them with copies of itself). Copies are cheap and refer to the
// same pixels; a buffer is filled by its producer and then only read. Immutable after filling
// by convention, so it may be read from any thread.
class PixelBuffer {
 public:
  // A buffer without planes; every luma measure on it fails.
  PixelBuffer() = default;

  // A new NV12 buffer of even or odd size (chroma rounds up); rows padded to `rowAlign` bytes.
  static PixelBuffer allocateNV12(int width, int height, int rowAlign = 64);

  int width() const { return width_; }
  int height() const { return height_; }
  int planeCount() const { return static_cast<int>(planes_.size()); }
  // Plane `i` (0 luma, 1 chroma); `i` must be below planeCount().
  const PlaneView& plane(int i) const { return planes_[static_cast<size_t>(i)]; }

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<PlaneView> planes_;
  std::shared_ptr<std::vector<uint8_t>> storage_;
};

}  // namespace talvex
