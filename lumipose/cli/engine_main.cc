// talvex-lumipose-engine: the whole camera program. talvex-lumipose runs it in its own process
// (exec) for every command but `status`, so that only the commands that need the media and
// detection libraries wait for them to load.
#include "lumipose/cli/command_line.h"
#include "platform/process/output.h"

int main(int argc, char** argv) {
  auto camera = talvex::media::deviceCameraSource();
  // Every path ends through exitProcess, so nothing buffered is left behind for exit().
  talvex::exitProcess(talvex::lumipose::lumiposeMain(argc, argv, *camera));
}
