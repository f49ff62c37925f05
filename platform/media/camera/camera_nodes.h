// The V4L2 nodes that may be the program's camera, and the mode each would stream in. Internal
// to platform/media.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/media/camera/capture_format.h"

namespace talvex::media {

struct CameraNode {
  std::string path;
  // Why the node could not be looked at (EACCES, EPERM, EBUSY), 0 when it was.
  int openError = 0;
  bool multiplanar = false;         // a V4L2_CAP_VIDEO_CAPTURE_MPLANE node
  std::optional<CaptureMode> mode;  // the best mode it offers; absent when not looked at
};

// Capture nodes in the order the camera is chosen from: /dev/videoN by N. A node that was
// looked at is listed only when it offers a mode the capture path reads, so that an infrared
// (GREY) or raw Bayer node, a metadata node or an output node never hides the real camera after
// it. A node that refused us or is held by another program is listed without a mode: it may be
// a camera, and the one the user meant.
std::vector<CameraNode> cameraNodes();

}  // namespace talvex::media
