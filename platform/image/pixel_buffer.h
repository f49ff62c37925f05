// A frame image: 8-bit Y'CbCr 4:2:0. Most frames are bi-planar full range (NV12, full range):
// plane 0 holds luma 0..255 with its own bytes per row, plane 1 interleaved Cb/Cr at half
// resolution. A decoded movie picture handed to the analysis as it came from the decoder is
// tri-planar instead (I420: plane 1 Cb, plane 2 Cr), in the range and matrix its stream says.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace talvex {

struct PlaneView {
  uint8_t* base = nullptr;
  int width = 0;   // in samples (for an NV12 plane 1: chroma pairs)
  int height = 0;  // in rows
  int bytesPerRow = 0;
};

enum class PixelLayout { NV12, I420 };
// Full range: luma and chroma use 0..255. Limited ("video") range: luma 16..235, chroma 16..240.
enum class YuvRange { Full, Limited };
enum class YuvMatrix { BT601, BT709 };

// Owns its pixels (or shares them with copies of itself, or with the decoder that made them).
// Copies are cheap and refer to the same pixels; a buffer is filled by its producer and then
// only read. Immutable after filling by convention, so it may be read from any thread.
class PixelBuffer {
 public:
  // A buffer without planes; every luma measure on it fails.
  PixelBuffer() = default;

  // A new NV12 full-range buffer of even or odd size (chroma rounds up); rows padded to
  // `rowAlign` bytes.
  static PixelBuffer allocateNV12(int width, int height, int rowAlign = 64);

  // An I420 buffer over pixels someone else owns: `owner` keeps them alive as long as any copy
  // of the buffer lives. Planes are luma, Cb, Cr; chroma planes are (width + 1) / 2 by
  // (height + 1) / 2.
  static PixelBuffer wrapI420(int width, int height, const std::array<PlaneView, 3>& planes,
                              YuvRange range, YuvMatrix matrix, std::shared_ptr<const void> owner);

  int width() const { return width_; }
  int height() const { return height_; }
  PixelLayout layout() const { return layout_; }
  YuvRange range() const { return range_; }
  YuvMatrix matrix() const { return matrix_; }
  int planeCount() const { return static_cast<int>(planes_.size()); }
  // Plane `i` (0 luma, then chroma); `i` must be below planeCount().
  const PlaneView& plane(int i) const { return planes_[static_cast<size_t>(i)]; }

 private:
  int width_ = 0;
  int height_ = 0;
  PixelLayout layout_ = PixelLayout::NV12;
  YuvRange range_ = YuvRange::Full;
  YuvMatrix matrix_ = YuvMatrix::BT601;
  std::vector<PlaneView> planes_;
  std::shared_ptr<const void> storage_;
};

}  // namespace talvex
