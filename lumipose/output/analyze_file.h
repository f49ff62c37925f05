#pragma once

#include <string>

namespace talvex::lumipose {

// Writes the frames file of the movie at `moviePath` to `framesPath`: a header record, then
// one frame record for every third decoded frame; prints the summary line. Returns on
// success; ends the process with an "ERR:" line and status 1 on failure.
void analyzeFile(const std::string& moviePath, const std::string& framesPath);

}  // namespace talvex::lumipose
