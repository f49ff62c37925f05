#include "platform/media/camera/camera_nodes.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "platform/media/camera/v4l2_ioctl.h"
#include "platform/process/unique_fd.h"

namespace talvex::media {
namespace {

std::vector<std::string> videoNodes() {
  std::vector<std::pair<int, std::string>> nodes;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("video", 0) != 0 || name.size() == 5) continue;
    const std::string digits = name.substr(5);
    if (!std::all_of(digits.begin(), digits.end(), ::isdigit) || digits.size() > 6) continue;
    nodes.emplace_back(std::stoi(digits), entry.path().string());
  }
  std::sort(nodes.begin(), nodes.end());
  std::vector<std::string> paths;
  for (auto& n : nodes) paths.push_back(std::move(n.second));
  return paths;
}

// Looks at one node without streaming from it; nullopt when it is no camera of ours.
std::optional<CameraNode> lookAt(const std::string& path) {
  CameraNode node;
  node.path = path;
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno != EACCES && errno != EPERM && errno != EBUSY) return std::nullopt;
    node.openError = errno;
    return node;
  }
  v4l2_capability cap{};
  if (xioctl(fd.get(), VIDIOC_QUERYCAP, &cap) == 0) {
    const uint32_t caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    // A node that offers both is asked the single-planar way, which every tool supports.
    if (caps & V4L2_CAP_VIDEO_CAPTURE) {
      node.mode = chooseCaptureMode(queryCaptureModes(fd.get(), V4L2_BUF_TYPE_VIDEO_CAPTURE));
    } else if (caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) {
      node.multiplanar = true;
      node.mode =
          chooseCaptureMode(queryCaptureModes(fd.get(), V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE));
    }
  }
  if (!node.mode) return std::nullopt;
  return node;
}

}  // namespace

std::vector<CameraNode> cameraNodes() {
  std::vector<CameraNode> nodes;
  for (const std::string& path : videoNodes())
    if (auto node = lookAt(path)) nodes.push_back(std::move(*node));
  return nodes;
}

}  // namespace talvex::media
