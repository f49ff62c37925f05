// The shipped talvex-lumipose with its camera through PipeWire, run as the parent application
// runs it. The camera is a node of a private headless PipeWire graph (tests/
// pipewire_camera_graph.h): PipeWire's own moving test picture, offered as a Video/Source node
// with the role Camera, as a desktop offers a webcam or a libcamera camera. This machine has no
// V4L2 camera, so every picture in these movies came through PipeWire.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/child_process.h"
#include "tests/pipewire_camera_graph.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::shell;

struct Movie {
  int width = 0, height = 0, frames = 0;
};

Movie probe(const fs::path& movie) {
  Movie m;
  std::istringstream s(
      shell("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
            "stream=width,height,nb_read_packets -of default=nw=1 '" +
            movie.string() + "' 2>/dev/null"));
  for (std::string line; std::getline(s, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string k = line.substr(0, eq);
    const int v = std::atoi(line.c_str() + eq + 1);
    if (k == "width") m.width = v;
    if (k == "height") m.height = v;
    if (k == "nb_read_packets") m.frames = v;
  }
  return m;
}

int stoppedCount(const std::string& line) {
  return std::atoi(line.c_str() + std::strlen("REC:stopped:"));
}

class LivePipewireE2E : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(graph.ready()) << "the private PipeWire did not start"; }

  std::unique_ptr<ChildProcess> live(const std::string& name = "preview") {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{testing::buildPath("talvex-lumipose"), "live",
                                 (fs::path(dir.path()) / (name + ".jpg")).string()},
        graph.env());
  }
  std::string recLine(const std::string& name) const {
    const fs::path base = fs::path(dir.path()) / name;
    return "REC " + base.string() + ".mov\t" + base.string() + ".jsonl\n";
  }
  fs::path movie(const std::string& name) const { return fs::path(dir.path()) / (name + ".mov"); }
  // Records `seconds` and stops; the count REC:stopped gave.
  int record(ChildProcess& c, const std::string& name, std::chrono::milliseconds length) {
    c.write(recLine(name));
    EXPECT_TRUE(c.waitForLine("REC:started", 30s)) << c.errSoFar();
    std::this_thread::sleep_for(length);
    c.write("STOP\n");
    auto stopped = c.waitForLine("REC:stopped:", 30s, true);
    EXPECT_TRUE(stopped) << c.errSoFar();
    return stopped ? stoppedCount(*stopped) : -1;
  }

  testing::PipewireCameraGraph graph;
  testing::TempDir dir{"talvex-pipewire-camera"};
};

TEST_F(LivePipewireE2E, StatusAnswersForThePipewireCamera) {
  auto r = testing::run({testing::buildPath("talvex-lumipose"), "status"}, "", graph.env());
  EXPECT_EQ(r.out, "authorized\n");
  EXPECT_EQ(r.err, "");
  // Without the camera node the daemon offers nothing, and the answer is V4L2's: no node here.
  ASSERT_TRUE(graph.removeCamera());
  r = testing::run({testing::buildPath("talvex-lumipose"), "status"}, "", graph.env());
  EXPECT_EQ(r.out, "notDetermined\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(LivePipewireE2E, ARecordingThroughPipewireHoldsEveryFrameAt720p) {
  auto c = live();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s)) << c->errSoFar();
  EXPECT_EQ(graph.linksFromCamera(), 1);
  const int n = record(*c, "m", 3s);
  c->write("QUIT\n");
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_EQ(r->err, "STARTED\nREC:started\nREC:stopped:" + std::to_string(n) + "\n");
  // 3 s of a 30 fps camera.
  EXPECT_GT(n, 60);
  const Movie m = probe(movie("m"));
  EXPECT_EQ(m.frames, n);
  EXPECT_EQ(m.width, 1280);
  EXPECT_EQ(m.height, 720);
  // start_epoch is the capture moment of the first frame: the node's monotonic stamp, mapped
  // to the wall clock, which is a moment of this run.
  const auto lines = testing::fileLines(fs::path(dir.path()) / "m.jsonl");
  ASSERT_GE(lines.size(), 2u);
  double epoch = 0;
  ASSERT_EQ(std::sscanf(lines[0].c_str(), "{\"start_epoch\":%lf}", &epoch), 1) << lines[0];
  const double now = double(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count()) /
                     1000;
  EXPECT_LT(now - epoch, 30);
  EXPECT_GT(now - epoch, 3);
}

TEST_F(LivePipewireE2E, ACameraNodeThatGoesEndsTheRecordingAndIsTakenBackWhenItReturns) {
  auto c = live();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s)) << c->errSoFar();
  c->write(recLine("a"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  std::this_thread::sleep_for(3s);
  ASSERT_TRUE(graph.removeCamera());
  ASSERT_TRUE(c->waitForLine("ERR:camera-lost", 10s)) << c->errSoFar();
  auto stopped = c->waitForLine("REC:stopped:", 30s, true);
  ASSERT_TRUE(stopped);
  const int n = stoppedCount(*stopped);
  EXPECT_GT(n, 20);
  EXPECT_EQ(probe(movie("a")).frames, n);

  ASSERT_TRUE(graph.addCamera());
  // Taken back within the session's reconnection pace: a recording works again.
  std::this_thread::sleep_for(2s);
  const int m = record(*c, "b", 1500ms);
  EXPECT_GT(m, 10);
  EXPECT_EQ(probe(movie("b")).frames, m);
  c->write("QUIT\n");
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
}

TEST_F(LivePipewireE2E, ADaemonThatDiesEndsTheRecordingWithoutAHang) {
  auto c = live();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s)) << c->errSoFar();
  c->write(recLine("a"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  std::this_thread::sleep_for(3s);
  graph.killDaemon();
  ASSERT_TRUE(c->waitForLine("ERR:camera-lost", 10s)) << c->errSoFar();
  auto stopped = c->waitForLine("REC:stopped:", 30s, true);
  ASSERT_TRUE(stopped);
  const int n = stoppedCount(*stopped);
  EXPECT_GT(n, 20);
  EXPECT_EQ(probe(movie("a")).frames, n);
  // The session stays and quits at once, the daemon's absence costing it nothing.
  std::this_thread::sleep_for(1s);
  const auto asked = std::chrono::steady_clock::now();
  c->write("QUIT\n");
  auto r = c->wait(10s);
  ASSERT_TRUE(r) << "the session hung";
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  EXPECT_EQ(r->err, "STARTED\nREC:started\nERR:camera-lost\n" + *stopped + "\n");
}

}  // namespace
}  // namespace talvex
