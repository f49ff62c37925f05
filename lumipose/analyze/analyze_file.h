#pragma once

#include <string>

#include "platform/process/result.h"

namespace talvex::lumipose {

// Writes the frames file of the movie at `moviePath` to `framesPath`: a header record, then
// one frame record for every third decoded frame; prints the summary line. A failure says what
// the "ERR:" line must say.
Status analyzeFile(const std::string& moviePath, const std::string& framesPath);

}  // namespace talvex::lumipose
