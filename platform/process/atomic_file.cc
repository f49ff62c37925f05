#include "platform/process/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace talvex {

Status writeFileAtomically(const std::string& path, std::span<const uint8_t> bytes) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string tmpl = dir + "." + base + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) return Status::failure(std::strerror(errno));
  // mkstemp makes the file private; the preview is for other programs to read.
  ::fchmod(fd, 0644);
  const char* p = reinterpret_cast<const char*>(bytes.data());
  size_t left = bytes.size();
  int err = 0;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(name.data(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(name.data());
    return Status::failure(std::strerror(err));
  }
  return Status::ok();
}

}  // namespace talvex
