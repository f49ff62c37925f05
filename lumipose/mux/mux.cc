#include "lumipose/mux/mux.h"

#include "platform/process/output.h"

namespace talvex::lumipose {

void mux(const std::string&, const std::string&, const std::string&, double) {
  fail("mux is not available in this build: movie composition is not built yet");
}

}  // namespace talvex::lumipose
