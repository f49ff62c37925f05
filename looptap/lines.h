// looptap's output lines. Every line goes to standard error as one write (platform/process's
// say()), so lines from the main loop, the audio queue and the sound-server thread never mix
// within a line.
#pragma once

#include <string>
#include <string_view>

namespace talvex::looptap {

// "LEVEL:" and the level with exactly three decimals; levels above full scale read 1.000.
std::string levelLine(float level);

}  // namespace talvex::looptap
