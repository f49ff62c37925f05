// A camera node of the session's PipeWire daemon as the program's camera. Internal to
// platform/media.
#pragma once

#include <memory>

#include "platform/media/camera/camera.h"

namespace talvex::media {

class PipewireConnection;
struct PipewireCameraNode;

// Streams from `node` (which must have a mode) over `connection`, in the node's best mode. On
// success the camera takes the connection over and is streaming or about to (a node that takes
// long to start is left to the first-frame limit); on failure the connection stays the
// caller's, for the next node.
Result<std::unique_ptr<Camera>> openPipewireCamera(std::unique_ptr<PipewireConnection>& connection,
                                                   const PipewireCameraNode& node);

}  // namespace talvex::media
