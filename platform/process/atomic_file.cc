#include "platform/process/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "platform/process/unique_fd.h"

namespace talvex {
namespace {

// "." + the target's name, cut so that the whole temporary name with `extra` more bytes still
// fits the file system's limit; a cut falls between UTF-8 characters.
std::string hiddenStem(const std::string& dir, const std::string& name, size_t extra) {
  long limit = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  if (limit <= 0) limit = NAME_MAX;
  const size_t room = static_cast<size_t>(limit) > extra + 1 ? limit - extra - 1 : 0;
  size_t keep = std::min(name.size(), room);
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
    --keep;
  return "." + name.substr(0, keep);
}

}  // namespace

Status checkReplaceable(const std::string& path) {
  std::error_code ec;
  const std::filesystem::file_status s = std::filesystem::status(path, ec);
  if (std::filesystem::exists(s) && !std::filesystem::is_regular_file(s))
    return Status::failure("not a regular file: " + path);
  return Status::ok();
}

Result<std::string> createTemporaryBeside(const std::string& target) {
  namespace fs = std::filesystem;
  const fs::path t(target);
  const fs::path dir = t.has_parent_path() ? t.parent_path() : fs::path(".");
  const std::string stem = hiddenStem(dir.string(), t.filename().string(), 14);
  std::random_device rd;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", rd());
    const std::string path = (dir / (stem + "." + suffix + ".part")).string();
    if (UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)).valid())
      return path;
    if (errno != EEXIST) return Result<std::string>::failure(std::strerror(errno));
  }
  return Result<std::string>::failure("cannot create a temporary file");
}

Status writeFileAtomically(const std::string& path, std::span<const uint8_t> bytes) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // A name that fills the limit still gets a temporary: its stem is cut to make room.
  std::string tmpl = dir + hiddenStem(dir.empty() ? "." : dir, base, 7) + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  UniqueFd fd(::mkstemp(name.data()));
  if (!fd.valid()) return Status::failure(std::strerror(errno));
  // mkstemp makes the file private; the preview is for other programs to read.
  ::fchmod(fd.get(), 0644);
  const char* p = reinterpret_cast<const char*>(bytes.data());
  size_t left = bytes.size();
  int err = 0;
  while (left > 0) {
    ssize_t n = ::write(fd.get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (fd.close() != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(name.data(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(name.data());
    return Status::failure(std::strerror(err));
  }
  return Status::ok();
}

}  // namespace talvex
