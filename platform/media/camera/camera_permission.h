// Camera permission on Linux: there is no consent dialog, so the answer comes from what the
// session's PipeWire daemon lets us read, or from the device nodes' access rights.
#pragma once

namespace talvex::media {

enum class CameraPermission { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

// The permission for the camera `live` would open, from the backend it would use (camera.h):
// through PipeWire, "authorized" when the daemon lets us read some camera node, else "denied";
// through V4L2, v4l2CameraPermission(). Never asks anything.
CameraPermission cameraPermission();

// Asks for access: on Linux, an attempt to open the cameras. Granted unless the answer above
// is "denied" or "restricted".
bool requestCameraAccess();

// The V4L2 nodes' answer: "authorized" when some camera node opens for reading and writing (or
// is only busy: the system let us in, the driver is taken); otherwise the first camera's
// refusal: "denied" for EACCES, "restricted" for EPERM; "notDetermined" when there is no
// camera at all (or it fails otherwise).
CameraPermission v4l2CameraPermission();
bool requestV4l2CameraAccess();

}  // namespace talvex::media
