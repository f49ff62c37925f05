// The shipped talvex-lumipose with its camera through PipeWire, run as the parent application
// runs it. The camera is a node of a private headless PipeWire graph (tests/
// pipewire_camera_graph.h): PipeWire's own moving test picture, or a client camera of ours that
// several programs can read at once, offered as a Video/Source node with the role Camera, as a
// desktop offers a webcam or a libcamera camera. This machine has no V4L2 camera, so every
// picture in these movies came through PipeWire.
#include <gtest/gtest.h>
#include <signal.h>

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/device_log.h"
#include "tests/live_session.h"
#include "tests/pipewire_camera_graph.h"
#include "tests/run_program.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::RunningProgram;
using testing::stoppedCount;

int64_t monotonicMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

using Camera = testing::PipewireCameraGraph::Camera;

class LivePipewireE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    graph_ = std::make_unique<testing::PipewireCameraGraph>(camera(), graphFile());
    ASSERT_TRUE(graph_->ready()) << "the private PipeWire did not start";
  }
  virtual Camera camera() const { return Camera::TestPicture; }
  virtual std::string graphFile() const { return ""; }

  std::unique_ptr<RunningProgram> live(const std::string& name = "preview") {
    return std::make_unique<RunningProgram>(
        std::vector<std::string>{testing::buildPath("talvex-lumipose"), "live",
                                 (dir.path() / (name + ".jpg")).string()},
        graph().env());
  }
  std::string recLine(const std::string& name) const {
    const fs::path base = dir.path() / name;
    return testing::recLine(base.string() + ".mov", base.string() + ".jsonl");
  }
  fs::path movie(const std::string& name) const { return dir.path() / (name + ".mov"); }
  // Records `seconds` and stops; the count REC:stopped gave.
  int record(RunningProgram& c, const std::string& name, std::chrono::milliseconds length) {
    c.write(recLine(name));
    EXPECT_TRUE(c.waitForLine("REC:started", 30s)) << c.errSoFar();
    std::this_thread::sleep_for(length);
    c.write("STOP\n");
    auto stopped = c.waitForLine("REC:stopped:", 30s, true);
    EXPECT_TRUE(stopped) << c.errSoFar();
    return stopped ? stoppedCount(*stopped) : -1;
  }

  testing::PipewireCameraGraph& graph() const { return *graph_; }

  // Records a.mov for 3 s, then `lose` takes the camera away: the session says so and ends the
  // recording, whose movie holds every frame counted in `stopped`. Null on a failure.
  std::unique_ptr<RunningProgram> recordUntilLost(const std::function<void()>& lose,
                                                  std::string& stopped) {
    auto c = live();
    EXPECT_TRUE(c->waitForLine("STARTED", 30s)) << c->errSoFar();
    c->write(recLine("a"));
    EXPECT_TRUE(c->waitForLine("REC:started", 30s));
    std::this_thread::sleep_for(3s);
    lose();
    EXPECT_TRUE(c->waitForLine("ERR:camera-lost", 10s)) << c->errSoFar();
    stopped = c->waitForLine("REC:stopped:", 30s, true).value_or("");
    const int n = stoppedCount(stopped);
    EXPECT_GT(n, 20);
    EXPECT_EQ(int(testing::probe(movie("a")).pts.size()), n);
    return HasFailure() ? nullptr : std::move(c);
  }

  // A session that records 3 s of the camera as `name` and quits: the lines, and a 1280x720
  // movie with every frame REC:stopped counted. Returns that count.
  int recordWholeSession(const std::string& name) {
    auto c = live();
    EXPECT_TRUE(c->waitForLine("STARTED", 30s)) << c->errSoFar();
    EXPECT_EQ(graph().linksFromCamera(), 1);
    const int n = record(*c, name, 3s);
    c->write("QUIT\n");
    auto r = c->wait(30s);
    EXPECT_TRUE(r);
    if (r) {
      EXPECT_EQ(r->exitStatus, 0);
      EXPECT_EQ(r->err, "STARTED\nREC:started\nREC:stopped:" + std::to_string(n) + "\n");
    }
    EXPECT_GT(n, 60);  // 3 s of a 30 fps camera
    const testing::Movie m = testing::probe(movie(name));
    EXPECT_EQ(int(m.pts.size()), n);
    EXPECT_EQ(m.width, 1280);
    EXPECT_EQ(m.height, 720);
    return n;
  }

  std::unique_ptr<testing::PipewireCameraGraph> graph_;  // made by SetUp, for its camera
  testing::TempDir dir{"talvex-pipewire-camera"};
};

TEST_F(LivePipewireE2E, StatusAnswersForThePipewireCamera) {
  auto r = testing::run({testing::buildPath("talvex-lumipose"), "status"}, "", graph().env());
  EXPECT_EQ(r.out, "authorized\n");
  EXPECT_EQ(r.err, "");
  // Without the camera node the daemon offers nothing, and the answer is V4L2's: no node here.
  ASSERT_TRUE(graph().removeCamera());
  r = testing::run({testing::buildPath("talvex-lumipose"), "status"}, "", graph().env());
  EXPECT_EQ(r.out, "notDetermined\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(LivePipewireE2E, ARecordingThroughPipewireHoldsEveryFrameAt720p) {
  recordWholeSession("m");
  // start_epoch is the capture moment of the first frame: the node's monotonic stamp, mapped
  // to the wall clock, which is a moment of this run.
  ASSERT_GE(testing::fileLines(dir.path() / "m.jsonl").size(), 2u);
  const double epoch = testing::startEpoch(dir.path() / "m.jsonl").value_or(0);
  const double now = double(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count()) /
                     1000;
  EXPECT_LT(now - epoch, 30);
  EXPECT_GT(now - epoch, 3);
}

// Our own client camera (tests/pipewire_test_camera.cc): PipeWire 0.3.65's test picture stops
// for good when a reader falls behind by a frame, which a loaded machine makes happen.
class LivePipewireClientE2E : public LivePipewireE2E {
 protected:
  Camera camera() const override { return Camera::Client; }
};

TEST_F(LivePipewireClientE2E, ACameraNodeThatGoesEndsTheRecordingAndIsTakenBackWhenItReturns) {
  std::string stopped;
  auto c = recordUntilLost([&] { ASSERT_TRUE(graph().removeCamera()); }, stopped);
  ASSERT_TRUE(c);

  ASSERT_TRUE(graph().addCamera());
  // Taken back within the session's reconnection pace: a recording works again.
  std::this_thread::sleep_for(2s);
  const int m = record(*c, "b", 1500ms);
  EXPECT_GT(m, 10);
  EXPECT_EQ(int(testing::probe(movie("b")).pts.size()), m);
  c->write("QUIT\n");
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
}

TEST_F(LivePipewireClientE2E, ADaemonThatDiesEndsTheRecordingWithoutAHang) {
  std::string stopped;
  auto c = recordUntilLost([&] { graph().killDaemon(); }, stopped);
  ASSERT_TRUE(c);
  // The session stays and quits at once, the daemon's absence costing it nothing.
  std::this_thread::sleep_for(1s);
  const auto asked = std::chrono::steady_clock::now();
  c->write("QUIT\n");
  auto r = c->wait(10s);
  ASSERT_TRUE(r) << "the session hung";
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  EXPECT_EQ(r->err, "STARTED\nREC:started\nERR:camera-lost\n" + stopped + "\n");
}

// A camera that several programs read at once, as a video call and a recording share the
// webcam: our own client camera (tests/pipewire_test_camera.cc), since PipeWire 0.3.65's test
// picture stops for good when a second reader joins. On V4L2 the same situation is the busy
// error that LiveDeviceE2E.ABusyCameraIsReportedWithTheSystemsReason checks
// (tests/live_device_e2e_test.cc, `streamon-error EBUSY`).
using LivePipewireSharedE2E = LivePipewireClientE2E;

TEST_F(LivePipewireSharedE2E, AnotherProgramReadsTheCameraThroughAWholeRecording) {
  const fs::path readerLog = dir.path() / "reader.log";
  RunningProgram reader(
      {testing::buildPath("pipewire-frame-reader"), "ci_camera", readerLog.string()},
      graph().env());
  ASSERT_TRUE(reader.waitForLine("STREAMING", 10s)) << reader.errSoFar();
  auto c = live();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s)) << c->errSoFar();
  EXPECT_EQ(graph().linksFromCamera(), 2);

  c->write(recLine("m"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s)) << c->errSoFar();
  const int64_t recFrom = monotonicMicros();
  std::this_thread::sleep_for(4s);
  c->write("STOP\n");
  auto stopped = c->waitForLine("REC:stopped:", 30s, true);
  const int64_t recTo = monotonicMicros();
  ASSERT_TRUE(stopped) << c->errSoFar();
  const int n = stoppedCount(*stopped);
  EXPECT_EQ(graph().linksFromCamera(), 2);
  c->write("QUIT\n");
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_EQ(r->err, "STARTED\nREC:started\n" + *stopped + "\n");

  // The recording: every frame it counted, at 720p, 4 s of a 30 fps camera.
  EXPECT_GT(n, 80);
  const testing::Movie m = testing::probe(movie("m"));
  EXPECT_EQ(int(m.pts.size()), n);
  EXPECT_EQ(m.width, 1280);
  EXPECT_EQ(m.height, 720);

  // The other program: whole pictures all along the recording, never a second without one.
  reader.signal(SIGTERM);
  auto rr = reader.wait(10s);
  ASSERT_TRUE(rr);
  EXPECT_EQ(rr->exitStatus, 0);
  EXPECT_EQ(rr->err.find("ENDED"), std::string::npos) << rr->err;
  std::vector<int64_t> during;
  for (const auto& line : testing::fileLines(readerLog)) {
    long long at = 0;
    unsigned bytes = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%lld %u", &at, &bytes), 2) << line;
    EXPECT_EQ(bytes, 1280u * 720 * 2);
    if (at >= recFrom && at <= recTo) during.push_back(at);
  }
  ASSERT_FALSE(during.empty()) << "the other program got nothing while we recorded";
  EXPECT_GT(int(during.size()), 60);
  int64_t widestGap = during.front() - recFrom;
  for (size_t i = 1; i < during.size(); ++i)
    widestGap = std::max(widestGap, during[i] - during[i - 1]);
  widestGap = std::max(widestGap, recTo - during.back());
  EXPECT_LT(widestGap, 1000000) << "the other program went without a frame for that long (µs)";
}

// The chain a desktop has for a webcam: the V4L2 device, PipeWire's own V4L2 source node on it
// (as WirePlumber makes one), our stream from that node. The device is the V4L2 emulator
// preloaded into the PipeWire daemon; its log says what the driver delivered.
class LivePipewireV4l2E2E : public LivePipewireE2E {
 protected:
  void SetUp() override {
    std::ofstream(description()) << "device /dev/video0\ncard Emulated Webcam\n"
                                    "format YUYV 1280x720 30\njitter 0.3\nlog "
                                 << deviceLog().string() << "\n";
    LivePipewireE2E::SetUp();
  }
  Camera camera() const override { return Camera::V4l2; }
  std::string graphFile() const override { return description().string(); }
  fs::path description() const { return dir.path() / "camera.txt"; }
  fs::path deviceLog() const { return dir.path() / "device.log"; }
};

TEST_F(LivePipewireV4l2E2E, ARecordingFromAV4l2CameraThroughPipewireHoldsEveryFrame) {
  const int n = recordWholeSession("m");
  // Every movie frame sits where the driver stamped a frame it delivered (the intervals vary,
  // so only one first frame fits), so the times came through PipeWire unchanged; the frames
  // file's start_epoch is that first frame's capture moment.
  const testing::DeviceLog log = testing::readDeviceLog(deviceLog());
  EXPECT_GE(int(log.frames.size()), n);
  const testing::Movie m = testing::probe(movie("m"));
  ASSERT_EQ(int(m.pts.size()), n);
  const testing::DeviceLog::Frame* origin = testing::movieOrigin(m, log);
  ASSERT_NE(origin, nullptr) << "the movie's frame times are not the driver's";
  const auto epoch = testing::startEpoch(dir.path() / "m.jsonl");
  ASSERT_TRUE(epoch);
  EXPECT_NEAR(*epoch, double(origin->wallUs) / 1e6, 0.005);
}

}  // namespace
}  // namespace talvex
