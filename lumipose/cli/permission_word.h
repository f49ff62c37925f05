#pragma once

#include "platform/media/camera/camera_permission.h"

namespace talvex::lumipose {

// The word `status` prints for a camera permission.
const char* permissionWord(media::CameraPermission p);

}  // namespace talvex::lumipose
