// looptap's output lines. Every line goes to standard error as one write, so lines from the
// main loop, the audio queue and the sound-server thread never mix within a line.
#pragma once

#include <string>
#include <string_view>

namespace talvex::looptap {

// Writes `line` and a line feed to standard error in one write.
void err(std::string_view line);

// "LEVEL:" and the level with exactly three decimals; levels above full scale read 1.000.
std::string levelLine(float level);

}  // namespace talvex::looptap
