// talvex-lumipose-testcam: the camera program for machines without a camera. Its camera is
// the FFmpeg input named by TALVEX_TEST_CAMERA (a movie file played in real time and looped,
// or a lavfi graph), always authorised; everything after opening the camera is the shipped
// program's code. Built for the tests only, never installed.
#include <cstdlib>

#include "lumipose/cli/dispatch.h"
#include "platform/process/output.h"

int main(int argc, char** argv) {
  const char* input = std::getenv("TALVEX_TEST_CAMERA");
  auto camera = talvex::media::inputCameraSource(input ? input : "");
  talvex::exitProcess(talvex::lumipose::lumiposeMain(argc, argv, *camera));
}
