#pragma once

#include <string>

#include "platform/media/camera/camera.h"

namespace talvex::lumipose {

// The live camera session with the preview at `previewPath` and the camera of `camera`
// (borrowed): permission, go-live, control channel and signals; runs until a path ends the
// process.
int runLive(const std::string& previewPath, media::CameraSource& camera);

}  // namespace talvex::lumipose
