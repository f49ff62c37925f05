// Camera permission on Linux: there is no consent dialog, so the answer comes from the device
// nodes' access rights.
#pragma once

namespace talvex::media {

enum class CameraPermission { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

// The permission for the camera `live` would open. "authorized" when some camera node opens for
// reading and writing (or is only busy: the system let us in, the driver is taken); otherwise
// the first camera's refusal: "denied" for EACCES, "restricted" for EPERM; "notDetermined"
// when there is no camera at all (or it fails otherwise). Never asks anything.
CameraPermission cameraPermission();

// Asks for access: on Linux, an attempt to open the cameras. Granted unless every camera
// refuses with EACCES or EPERM.
bool requestCameraAccess();

}  // namespace talvex::media
