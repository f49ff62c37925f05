// For talvex-lumipose-testcam only: a camera source that notes every frame it hands to the
// program, so that a test knows on its own clock when each frame was captured.
#pragma once

#include <memory>
#include <string>

#include "platform/media/camera/camera.h"

namespace talvex::lumipose {

// Wraps `source` (borrowed). Each frame handed to the program appends one line to the file at
// `path`: "<capture timestamp in microseconds, monotonic clock> <monotonic microseconds when
// the frame queue took the frame up>". The file is created empty when the camera opens.
std::unique_ptr<media::CameraSource> frameLoggingSource(media::CameraSource& source,
                                                        std::string path);

}  // namespace talvex::lumipose
