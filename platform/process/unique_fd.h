// A file descriptor with one owner, closed when the owner lets it go.
#pragma once

#include <unistd.h>

#include <utility>

namespace talvex {

// Lifecycle: owns the descriptor from construction until close(), release(), reset() or its
// destruction; moving hands it on. Threading: like an int, one thread at a time.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor to the caller, who closes it.
  int release() { return std::exchange(fd_, -1); }
  // Closes what is held (a close error is of no use here) and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now, for a caller that needs the close's own answer (a file system that reports a
  // failed write only there): 0, or -1 with errno.
  int close() { return valid() ? ::close(release()) : 0; }

 private:
  int fd_ = -1;
};

}  // namespace talvex
