#include "platform/vision/ops/model_paths.h"

#include <filesystem>
#include <system_error>

namespace talvex::vision {

Result<std::string> modelPath(std::string_view fileName) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string tried;
  const fs::path buildDir = TALVEX_BUILD_MODEL_DIR;
  fs::path p = buildDir / fileName;
  if (fs::is_regular_file(p, ec)) return p.string();
  tried = p.string();
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    fs::path installed =
        (exe.parent_path() / TALVEX_INSTALL_MODEL_REL / fileName).lexically_normal();
    if (fs::is_regular_file(installed, ec)) return installed.string();
    tried += ", " + installed.string();
  }
  return Result<std::string>::failure("model " + std::string(fileName) + " not found (looked at " +
                                      tried + ")");
}

}  // namespace talvex::vision
