// The V4L2 capture nodes as the program's camera, read directly. Internal to platform/media.
#pragma once

#include <memory>

#include "platform/media/camera/camera.h"

namespace talvex::media {

// The first V4L2 capture node that offers a usable mode and streams (camera_nodes.h), in the
// best mode it offers; its permission is the nodes' access rights.
std::unique_ptr<CameraSource> v4l2CameraSource();

}  // namespace talvex::media
