#pragma once

#include <string>

namespace talvex::lumipose {

// The live camera session with the preview at `previewPath`: permission, camera, control
// channel and signals; runs until a path ends the process.
int runLive(const std::string& previewPath);

}  // namespace talvex::lumipose
