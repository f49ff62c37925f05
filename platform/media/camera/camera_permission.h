// Camera permission on Linux: there is no consent dialog, so the answer comes from the device
// node's access rights.
#pragma once

#include <optional>
#include <string>

namespace talvex::media {

enum class CameraPermission { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

// The default camera: the first /dev/videoN (lowest N) whose V4L2 capabilities include video
// capture; nullopt when there is none. Opening it to ask does not start streaming.
std::optional<std::string> defaultCameraPath();

// "authorized" when the default camera opens for reading and writing (or is only busy), "denied"
// when that fails with EACCES, "restricted" when it fails with EPERM, "notDetermined" when there is
// no capture device at all (or it fails otherwise). Never asks anything.
CameraPermission cameraPermission();

// Asks for access: on Linux, an attempt to open the device. Granted unless the open fails
// with EACCES or EPERM.
bool requestCameraAccess();

}  // namespace talvex::media
