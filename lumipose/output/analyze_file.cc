#include "lumipose/output/analyze_file.h"

#include "platform/process/output.h"

namespace talvex::lumipose {

void analyzeFile(const std::string&, const std::string&) {
  fail("analyze is not available in this build: movie reading is not built yet");
}

}  // namespace talvex::lumipose
