#pragma once

#include "platform/media/camera/camera.h"

namespace talvex::lumipose {

// The entry point of talvex-lumipose: dispatches on the command word. `camera` (borrowed) is
// where `status` and `live` find the camera. Returns the exit status for the paths that
// return; the others end the process themselves.
int lumiposeMain(int argc, char** argv, media::CameraSource& camera);

}  // namespace talvex::lumipose
