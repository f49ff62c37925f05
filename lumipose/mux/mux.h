#pragma once

#include <string>

#include "platform/process/result.h"

namespace talvex::lumipose {

// Joins the first video track of `videoPath` and the first audio track of `wavPath` into a
// QuickTime movie at `outPath`, the sound shifted by `offset` seconds; prints "muxed". A
// failure says what the "ERR:" line must say.
Status mux(const std::string& videoPath, const std::string& wavPath, const std::string& outPath,
           double offset);

}  // namespace talvex::lumipose
