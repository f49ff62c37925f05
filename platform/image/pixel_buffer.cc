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
  b.storage_ = std::make_shared<std::vector<uint8_t>>(lumaBytes + chromaBytes);
  uint8_t* base = b.storage_->data();
  b.planes_.push_back(PlaneView{base, width, height, lumaStride});
  b.planes_.push_back(PlaneView{base + lumaBytes, chromaW, chromaH, chromaStride});
  return b;
}

}  // namespace talvex
