#include "lumipose/cli/dispatch.h"
#include "platform/process/output.h"

int main(int argc, char** argv) {
  auto camera = talvex::media::deviceCameraSource();
  // Every path ends through exitProcess, so nothing buffered is left behind for exit().
  talvex::exitProcess(talvex::lumipose::lumiposeMain(argc, argv, *camera));
}
