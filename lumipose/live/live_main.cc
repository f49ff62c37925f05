#include "lumipose/live/live_main.h"

#include "platform/process/output.h"

namespace talvex::lumipose {

int runLive(const std::string&) {
  fail("live is not available in this build: camera capture is not built yet");
}

}  // namespace talvex::lumipose
