#include "looptap/lines.h"

#include <algorithm>
#include <cstdio>

#include "platform/process/output.h"

namespace talvex::looptap {

std::string levelLine(float level) {
  char text[32];
  std::snprintf(text, sizeof text, "LEVEL:%.3f", static_cast<double>(std::min(level, 1.0f)));
  return text;
}

}  // namespace talvex::looptap
