#include "platform/media/camera/camera_permission.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/media/camera/camera_nodes.h"
#include "platform/media/camera/pipewire_cameras.h"
#include "platform/process/unique_fd.h"

namespace talvex::media {
namespace {

int openError(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)).valid() ? 0 : errno;
}

}  // namespace

CameraPermission cameraPermission() {
  const PipewireCameras cameras = findPipewireCameras(kPipewireAnswerLimit);
  if (cameras.nodes.empty()) return v4l2CameraPermission();
  for (const PipewireCameraNode& node : cameras.nodes)
    if (node.readable) return CameraPermission::Authorized;
  return CameraPermission::Denied;
}

bool requestCameraAccess() {
  const CameraPermission p = cameraPermission();
  return p != CameraPermission::Denied && p != CameraPermission::Restricted;
}

CameraPermission v4l2CameraPermission() {
  const std::vector<CameraNode> nodes = cameraNodes();
  if (nodes.empty()) return CameraPermission::NotDetermined;
  int first = -1;
  for (const CameraNode& node : nodes) {
    const int err = openError(node.path);
    if (err == 0 || err == EBUSY) return CameraPermission::Authorized;
    if (first < 0) first = err;
  }
  switch (first) {
    case EACCES:
      return CameraPermission::Denied;
    case EPERM:
      return CameraPermission::Restricted;
    default:
      return CameraPermission::NotDetermined;
  }
}

bool requestV4l2CameraAccess() {
  // Nothing to refuse when there is no camera: starting it reports the missing device.
  const CameraPermission p = v4l2CameraPermission();
  return p != CameraPermission::Denied && p != CameraPermission::Restricted;
}

}  // namespace talvex::media
