#pragma once

#include <string>

namespace talvex::lumipose {

// Where talvex-lumipose-engine is: beside this program in the build tree, or in the libexec
// directory of the installation this program belongs to.
std::string enginePath();

}  // namespace talvex::lumipose
