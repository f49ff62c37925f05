#include "lumipose/cli/engine_path.h"

#include <unistd.h>

#include <climits>

namespace talvex::lumipose {

std::string enginePath() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string dir = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("./x");
  dir.resize(dir.rfind('/') + 1);
  const std::string beside = dir + "talvex-lumipose-engine";
  if (::access(beside.c_str(), X_OK) == 0) return beside;
  return dir + TALVEX_ENGINE_INSTALL_REL "/talvex-lumipose-engine";
}

}  // namespace talvex::lumipose
