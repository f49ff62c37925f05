// A played input as the camera, for the test program and tests on machines without a camera.
// No FFmpeg type appears here.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/media/camera/camera.h"

namespace talvex::media {

// An FFmpeg input played in real time as if it were the camera: a movie file (looped) or a
// lavfi filter graph such as "testsrc2=size=1280x720:rate=30". An empty input means no camera.
// The permission is `permission`; asking for access calls `ask` (granted when it is empty).
std::unique_ptr<CameraSource> inputCameraSource(
    std::string input, CameraPermission permission = CameraPermission::Authorized,
    std::function<bool()> ask = {});

}  // namespace talvex::media
