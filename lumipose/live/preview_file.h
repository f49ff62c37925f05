// The preview file, kept up to date without holding up the frames.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/process/atomic_file.h"
#include "platform/process/dispatch.h"
#include "platform/process/result.h"

namespace talvex::lumipose {

// Replacing a file can stall for a good part of a second (a file system that flushes the new
// file's blocks at the rename over the old one does so while other writes are pending), far
// longer than a frame may take. So the preview is written on a queue of its own, and only the
// newest picture waits there: one that arrives while another waits replaces it.
// Lifecycle: offer() any number of times, then remove() once, after which nothing is written;
// destruction waits for a write under way. Threading: offer() and remove() from any thread, one
// at a time; `failed` and `write` run on the preview queue.
class PreviewFile {
 public:
  using WriteFile = std::function<Status(const std::string& path, std::span<const uint8_t>)>;
  // `failed` hears the reason of the first write that fails, once.
  PreviewFile(std::string path, std::function<void(const std::string&)> failed,
              WriteFile write = writeFileAtomically);

  void offer(std::vector<uint8_t> jpeg);
  // Waits for a write under way, drops a waiting picture and removes the file.
  void remove();

 private:
  void writeWaiting();

  const std::string path_;
  const std::function<void(const std::string&)> failed_;
  const WriteFile write_;
  std::mutex mutex_;
  std::optional<std::vector<uint8_t>> waiting_;  // guarded by mutex_
  bool removed_ = false;                         // guarded by mutex_
  bool failedOnce_ = false;                      // preview queue only
  // Last, so that it is joined before the fields its work uses go.
  SerialQueue queue_{"lumipose.preview"};
};

}  // namespace talvex::lumipose
