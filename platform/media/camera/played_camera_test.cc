#include "platform/media/camera/played_camera.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/process/testing/eventually.h"

namespace talvex::media {
namespace {

using namespace std::chrono_literals;

// Collects delivered frames; optionally holds the queue busy for a while per frame.
struct Sink {
  std::mutex mu;
  std::vector<CameraFrame> frames;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::chrono::milliseconds hold{0};

  void take(const CameraFrame& f) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    if (hold.count() > 0) std::this_thread::sleep_for(hold);
    {
      std::lock_guard lock(mu);
      frames.push_back(f);
    }
    inside.fetch_sub(1);
  }
  size_t count() {
    std::lock_guard lock(mu);
    return frames.size();
  }
};

bool waitFor(Sink& sink, size_t n, std::chrono::seconds limit) {
  return talvex::testing::eventually([&] { return sink.count() >= n; }, limit);
}

TEST(PlayedCamera, GivesNv12FramesAtTheWantedSizeOnARealTimeTimeline) {
  // A smaller source is brought to 1280x720, as a device that ignored the size would be.
  auto source = inputCameraSource("testsrc2=size=640x480:rate=30");
  EXPECT_EQ(source->permission(), CameraPermission::Authorized);
  auto camera = source->open();
  ASSERT_TRUE(camera) << camera.message();
  SerialQueue queue("test.frames");
  Sink sink;
  const auto began = std::chrono::steady_clock::now();
  camera.value()->start(queue, [&](const CameraFrame& f) { sink.take(f); });
  ASSERT_TRUE(waitFor(sink, 15, 20s));
  const auto took = std::chrono::steady_clock::now() - began;
  camera.value()->stop();
  queue.sync([] {});

  std::lock_guard lock(sink.mu);
  const CameraFrame& first = sink.frames.front();
  EXPECT_EQ(first.image.width(), 1280);
  EXPECT_EQ(first.image.height(), 720);
  EXPECT_EQ(first.image.planeCount(), 2);
  EXPECT_EQ(first.pts.timescale, 1000000);
  for (size_t i = 1; i < sink.frames.size(); ++i) {
    const int64_t step = sink.frames[i].pts.value - sink.frames[i - 1].pts.value;
    // Delivered frames sit on the source's 1/30 s grid; a dropped one leaves a gap of two.
    EXPECT_GT(step, 0);
    EXPECT_NEAR(double(step) / 33333.3, std::round(double(step) / 33333.3), 0.01) << step;
  }
  // Played in real time: 15 frames at 30 per second take about half a second, not less.
  EXPECT_GE(took, 400ms);
  const CameraStats s = camera.value()->stats();
  EXPECT_EQ(s.produced, s.delivered + s.dropped);
}

TEST(PlayedCamera, DropsFramesWhileTheQueueIsBusyInsteadOfQueueingThem) {
  auto camera = inputCameraSource("testsrc2=size=1280x720:rate=30")->open();
  ASSERT_TRUE(camera) << camera.message();
  SerialQueue queue("test.frames");
  Sink sink;
  sink.hold = 100ms;  // three frame times per frame
  camera.value()->start(queue, [&](const CameraFrame& f) { sink.take(f); });
  ASSERT_TRUE(waitFor(sink, 6, 20s));
  camera.value()->stop();
  queue.sync([] {});
  const CameraStats s = camera.value()->stats();
  EXPECT_FALSE(sink.overlapped.load());
  EXPECT_GT(s.dropped, 0);
  EXPECT_EQ(static_cast<int64_t>(sink.count()), s.delivered);
  EXPECT_EQ(s.produced, s.delivered + s.dropped);
}

TEST(PlayedCamera, NoInputIsNoCameraAndABadInputGivesItsReason) {
  auto none = inputCameraSource("")->open();
  ASSERT_FALSE(none);
  EXPECT_EQ(none.message(), "no-camera");
  auto bad = inputCameraSource("nosuchfilter=1")->open();
  ASSERT_FALSE(bad);
  EXPECT_FALSE(bad.message().empty());
}

TEST(PlayedCamera, AMovieFileLoopsOnAContinuousTimeline) {
  const std::string dir = std::string(TALVEX_BUILD_DIR) + "/testdata";
  std::filesystem::create_directories(dir);
  const std::string clip = dir + "/short_loop.mov";
  // A 10-frame movie made from a filter graph, so the loop comes around quickly.
  ASSERT_EQ(
      std::system(("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30 -frames:v 10 "
                   "-c:v mjpeg " +
                   clip)
                      .c_str()),
      0);
  auto camera = inputCameraSource(clip)->open();
  ASSERT_TRUE(camera) << camera.message();
  SerialQueue queue("test.frames");
  Sink sink;
  camera.value()->start(queue, [&](const CameraFrame& f) { sink.take(f); });
  ASSERT_TRUE(waitFor(sink, 25, 20s));
  camera.value()->stop();
  queue.sync([] {});
  std::lock_guard lock(sink.mu);
  for (size_t i = 1; i < sink.frames.size(); ++i)
    EXPECT_GT(sink.frames[i].pts.value, sink.frames[i - 1].pts.value) << i;
  const double span = (sink.frames.back().pts.value - sink.frames.front().pts.value) / 1e6;
  EXPECT_GT(span, 0.7);  // 25 frames at 30 per second span 0.8 s, through two loops
}

}  // namespace
}  // namespace talvex::media
