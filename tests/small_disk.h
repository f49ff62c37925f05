// A real, tiny file system for tests of full disks: a tmpfs of a given size mounted on a fresh
// directory, so writes fail with the kernel's own "No space left on device" part-way through,
// exactly as on a full disk. Mounting needs root (CI runs as root); a test that cannot mount
// fails with the reason rather than pass without having run. For tests only.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace talvex::testing {

class SmallDisk {
 public:
  explicit SmallDisk(size_t bytes) {
    char tmpl[] = "/tmp/talvex-small-disk.XXXXXX";
    if (!::mkdtemp(tmpl)) {
      error_ = std::string("mkdtemp: ") + std::strerror(errno);
      return;
    }
    dir_ = tmpl;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", dir_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      error_ = std::string("cannot mount a tmpfs (tests of full disks run as root): ") +
               std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~SmallDisk() {
    if (mounted_ && ::umount2(dir_.c_str(), 0) != 0) ::umount2(dir_.c_str(), MNT_DETACH);
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }

  // Fills the disk with a file of its own until nothing more fits. Returns the bytes written.
  size_t fill(const std::string& name = ".filler") const {
    const int fd = ::open(file(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    std::vector<char> block(4096, 'x');
    size_t total = 0;
    while (true) {
      const ssize_t n = ::write(fd, block.data(), block.size());
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    ::close(fd);
    return total;
  }

 private:
  std::string dir_;
  std::string error_;
  bool mounted_ = false;
};

}  // namespace talvex::testing
