#include "lumipose/live/preview_file.h"

#include <filesystem>

namespace talvex::lumipose {

PreviewFile::PreviewFile(std::string path, std::function<void(const std::string&)> failed,
                         WriteFile write)
    : path_(std::move(path)), failed_(std::move(failed)), write_(std::move(write)) {}

void PreviewFile::offer(std::vector<uint8_t> jpeg) {
  std::lock_guard lock(mutex_);
  if (removed_) return;
  // A picture already waiting has its write queued; the newer one takes its place.
  const bool queued = waiting_.has_value();
  waiting_ = std::move(jpeg);
  if (!queued) queue_.async([this] { writeWaiting(); });
}

void PreviewFile::writeWaiting() {
  std::vector<uint8_t> jpeg;
  {
    std::lock_guard lock(mutex_);
    if (!waiting_) return;  // dropped by remove()
    jpeg = std::move(*waiting_);
    waiting_.reset();
  }
  if (Status written = write_(path_, jpeg); !written && !failedOnce_) {
    failedOnce_ = true;
    if (failed_) failed_(written.message());
  }
}

void PreviewFile::remove() {
  {
    std::lock_guard lock(mutex_);
    removed_ = true;
    waiting_.reset();
  }
  queue_.sync([] {});
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

}  // namespace talvex::lumipose
