#include "platform/media/camera/pipewire_buffer_view.h"

#include <linux/dma-buf.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/media/camera/v4l2_ioctl.h"

namespace talvex::media {
namespace {

// Opens (or ends) the CPU's read access to a DMA-BUF; a memory file refuses it, harmlessly.
void syncDmabuf(int fd, uint64_t edge) {
  dma_buf_sync sync{};
  sync.flags = edge | DMA_BUF_SYNC_READ;
  (void)xioctl(fd, DMA_BUF_IOCTL_SYNC, &sync);
}

}  // namespace

BufferView::BufferView(const spa_data& block) {
  if (block.data) {
    data_ = static_cast<const uint8_t*>(block.data);
    return;
  }
  if (block.fd < 0 || block.maxsize == 0 ||
      (block.type != SPA_DATA_DmaBuf && block.type != SPA_DATA_MemFd))
    return;
  // The block starts `mapoffset` bytes into the descriptor; mappings start on a page.
  const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t start = block.mapoffset / page * page;
  const uint64_t skip = block.mapoffset - start;
  mappedLength_ = static_cast<size_t>(skip + block.maxsize);
  void* m = ::mmap(nullptr, mappedLength_, PROT_READ, MAP_SHARED, static_cast<int>(block.fd),
                   static_cast<off_t>(start));
  if (m == MAP_FAILED) return;
  mapped_ = m;
  if (block.type == SPA_DATA_DmaBuf) {
    dmabuf_ = static_cast<int>(block.fd);
    syncDmabuf(dmabuf_, DMA_BUF_SYNC_START);
  }
  data_ = static_cast<const uint8_t*>(m) + skip;
}

BufferView::~BufferView() {
  if (dmabuf_ >= 0) syncDmabuf(dmabuf_, DMA_BUF_SYNC_END);
  if (mapped_) ::munmap(mapped_, mappedLength_);
}

}  // namespace talvex::media
