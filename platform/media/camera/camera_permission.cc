#include "platform/media/camera/camera_permission.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace talvex::media {
namespace {

// Capability check needs only an open for reading; streaming starts with VIDIOC_STREAMON,
// which is never issued here.
bool isCaptureDevice(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // A node we may not open, or that another program holds, is still a camera.
    return errno == EACCES || errno == EPERM || errno == EBUSY;
  }
  v4l2_capability cap{};
  bool capture = false;
  if (::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
    uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    capture = (caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) != 0;
  }
  ::close(fd);
  return capture;
}

int openError(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

}  // namespace

std::optional<std::string> defaultCameraPath() {
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
  for (const auto& [n, path] : nodes)
    if (isCaptureDevice(path)) return path;
  return std::nullopt;
}

CameraPermission cameraPermission() {
  auto path = defaultCameraPath();
  if (!path) return CameraPermission::NotDetermined;
  switch (openError(*path)) {
    case 0:
    case EBUSY:  // the driver refused, after the system had let us in
      return CameraPermission::Authorized;
    case EACCES:
      return CameraPermission::Denied;
    case EPERM:
      return CameraPermission::Restricted;
    default:
      return CameraPermission::NotDetermined;
  }
}

bool requestCameraAccess() {
  auto path = defaultCameraPath();
  if (!path) return true;  // nothing to refuse; starting the camera reports the missing device
  int err = openError(*path);
  return err != EACCES && err != EPERM;
}

}  // namespace talvex::media
