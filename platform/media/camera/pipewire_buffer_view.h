// The bytes of one block of a PipeWire buffer, wherever they are. Internal to platform/media.
#pragma once

#include <spa/buffer/buffer.h>

#include <cstddef>
#include <cstdint>

namespace talvex::media {

// A block libpipewire mapped already is read where it is. A block a node shares only as a file
// descriptor without marking it mappable (PipeWire's V4L2 source exports the driver's buffers
// as DMA-BUFs) is mapped for reading here for as long as the view lives, with the DMA-BUF's
// CPU access bracketed as the kernel asks. Lifecycle: made and dropped within one buffer's
// handling, while the buffer is dequeued. Threading: that thread only.
class BufferView {
 public:
  explicit BufferView(const spa_data& block);
  ~BufferView();
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // The block's first byte, or null when it cannot be read.
  const uint8_t* data() const { return data_; }

 private:
  const uint8_t* data_ = nullptr;
  void* mapped_ = nullptr;
  size_t mappedLength_ = 0;
  int dmabuf_ = -1;  // the DMA-BUF whose CPU access is open, or -1
};

}  // namespace talvex::media
