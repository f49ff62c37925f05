#pragma once

#include <string>

namespace talvex::lumipose {

// Joins the first video track of `videoPath` and the first audio track of `wavPath` into a
// QuickTime movie at `outPath`, the sound shifted by `offset` seconds; prints "muxed". Returns
// on success; ends the process with an "ERR:" line and status 1 on failure.
void mux(const std::string& videoPath, const std::string& wavPath, const std::string& outPath,
         double offset);

}  // namespace talvex::lumipose
