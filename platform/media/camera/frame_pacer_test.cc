#include "platform/media/camera/frame_pacer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talvex::media {
namespace {

// Which of a camera's frames reach the session: `frames` are capture times in milliseconds
// (fractions allowed), the answer one letter a frame, k kept, - passed over.
TEST(FramePacer, KeepsAnEvenShareOfAFastCameraAndEveryFrameOfANormalOne) {
  struct Case {
    const char* why;
    double cameraFps;
    std::vector<double> frames;
    std::string kept;
  } cases[] = {
      {"60 fps: every other frame", 60, {0, 16.7, 33.3, 50, 66.7, 83.3, 100}, "k-k-k-k"},
      {"60 fps with a frame the camera missed: the rhythm goes on from the next kept one",
       60,
       {0, 16.7, 50, 66.7, 83.3, 100},
       "k-k-k-"},
      {"60 fps with jitter of a few milliseconds", 60, {0, 19, 31, 52, 64, 85, 99}, "k-k-k-k"},
      {"30 fps: every frame, however irregular", 30, {0, 20, 63, 85, 100, 143}, "kkkkkk"},
      {"a rate the driver did not say: every frame", 0, {0, 16.7, 33.3}, "kkk"},
      {"40 fps is not thinned", 40, {0, 25, 50, 75}, "kkkk"},
      {"a clock that goes back starts anew", 60, {1000, 1016.7, 10, 26.7, 43.3}, "k-k-k"},
  };
  for (const Case& c : cases) {
    FramePacer pacer(c.cameraFps, 30);
    std::string kept;
    for (double ms : c.frames) kept += pacer.keep(static_cast<int64_t>(ms * 1000)) ? 'k' : '-';
    EXPECT_EQ(kept, c.kept) << c.why;
  }
}

}  // namespace
}  // namespace talvex::media
