#include "platform/image/pixel_buffer.h"

namespace talvex {

PixelBuffer PixelBuffer::allocateNV12(int width, int height, int rowAlign) {
  auto align = [rowAlign](int n) { return (n + rowAlign - 1) / rowAlign * rowAlign; };
  PixelBuffer b;
  b.width_ = width;
  b.height_ = height;
  const int chromaW = (width + 1) / 2;
  const int chromaH = (height + 1) / 2;
  const int lumaStride = align(width);
  const int chromaStride = align(chromaW * 2);
  const size_t lumaBytes = static_cast<size_t>(lumaStride) * static_cast<size_t>(height);
  const size_t chromaBytes = static_cast<size_t>(chromaStride) * static_cast<size_t>(chromaH);
  auto bytes = std::make_shared<std::vector<uint8_t>>(lumaBytes + chromaBytes);
  uint8_t* base = bytes->data();
  b.storage_ = std::move(bytes);
  b.planes_.push_back(PlaneView{base, width, height, lumaStride});
  b.planes_.push_back(PlaneView{base + lumaBytes, chromaW, chromaH, chromaStride});
  return b;
}

PixelBuffer PixelBuffer::wrapI420(int width, int height, const std::array<PlaneView, 3>& planes,
                                  YuvRange range, YuvMatrix matrix,
                                  std::shared_ptr<const void> owner) {
  PixelBuffer b;
  b.width_ = width;
  b.height_ = height;
  b.layout_ = PixelLayout::I420;
  b.range_ = range;
  b.matrix_ = matrix;
  b.planes_.assign(planes.begin(), planes.end());
  b.storage_ = std::move(owner);
  return b;
}

}  // namespace talvex
