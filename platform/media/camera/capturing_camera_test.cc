#include "platform/media/camera/capturing_camera.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/process/testing/eventually.h"

namespace talvex::media {
namespace {

using namespace std::chrono_literals;

// A camera whose capture thread was kept from running: the driver hands it the frames it kept
// meanwhile all at once.
class CatchingUpCamera : public CapturingCamera {
 public:
  explicit CatchingUpCamera(int frames) : frames_(frames) {}
  ~CatchingUpCamera() override { stop(); }
  void stop() override { joinCapture(); }

 private:
  void captureLoop() override {
    for (int i = 0; i < frames_ && !stopping(); ++i)
      if (queueFree()) deliver(CameraFrame{{}, MediaTime::make(i, 30)});
    while (!stopping()) std::this_thread::sleep_for(1ms);
  }
  const int frames_;
};

TEST(CapturingCamera, FramesThatComeOneRightAfterAnotherAreNotLost) {
  SerialQueue queue("test.frames");
  std::vector<int64_t> got;  // frame queue only
  CatchingUpCamera camera(4);
  camera.start(queue, [&](const CameraFrame& f) { got.push_back(f.pts.value); }, {}, {});
  talvex::testing::eventually([&] { return camera.stats().produced >= 4; }, 10s);
  camera.stop();
  queue.sync([] {});
  EXPECT_EQ(got, (std::vector<int64_t>{0, 1, 2, 3}));
  EXPECT_EQ(camera.stats().dropped, 0);
}

}  // namespace
}  // namespace talvex::media
