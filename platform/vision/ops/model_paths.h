// Where the detection models live: the build tree's models folder while developing, else the
// installed share folder next to the program. There is deliberately no override by environment.
#pragma once

#include <string>
#include <string_view>

#include "platform/process/result.h"

namespace talvex::vision {

// The path of an existing model file, or a failure naming the places looked at.
Result<std::string> modelPath(std::string_view fileName);

}  // namespace talvex::vision
