// The emulated device is checked against the tools that know V4L2 best before the camera tests
// trust it: v4l2-ctl (v4l-utils) and FFmpeg's v4l2 input read it as they read a real camera.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/run_program.h"
#include "tests/v4l2_emulator/device_description.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;

class V4l2Emulator : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/v4l2_emulator.XXXXXX";
    dir = ::mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir); }

  void describe(const std::string& text) {
    std::ofstream(dir / "device") << text << "log " << (dir / "log").string() << "\n";
  }
  // Runs a tool with the device preloaded; standard output and error together.
  testing::RunResult tool(std::vector<std::string> argv) {
    return testing::run(argv, "",
                        {{"LD_PRELOAD", testing::buildPath("libv4l2_emulator.so")},
                         {"TALVEX_V4L2_EMULATOR", (dir / "device").string()}});
  }
  // Timestamps (microseconds) of the frames the device delivered.
  std::vector<long long> deliveredTimes() {
    std::vector<long long> times;
    std::ifstream in(dir / "log");
    for (std::string line; std::getline(in, line);) {
      unsigned seq;
      long long mono, wall;
      if (std::sscanf(line.c_str(), "%u %lld %lld", &seq, &mono, &wall) == 3) times.push_back(mono);
    }
    return times;
  }

  fs::path dir;
};

const char* kCamera =
    "device /dev/video0\ncard Desk Camera\nformat MJPG 1280x720 30 15\n"
    "format YUYV 1280x720 10\nformat YUYV 640x480 30\n";

TEST_F(V4l2Emulator, V4l2CtlSeesTheDescribedDevice) {
  describe(kCamera);
  auto devices = tool({"/usr/bin/v4l2-ctl", "--list-devices"});
  EXPECT_EQ(devices.exitStatus, 0) << devices.err;
  EXPECT_NE(devices.out.find("Desk Camera"), std::string::npos) << devices.out;
  EXPECT_NE(devices.out.find("/dev/video0"), std::string::npos) << devices.out;

  auto formats = tool({"/usr/bin/v4l2-ctl", "-d", "/dev/video0", "--list-formats-ext"});
  EXPECT_EQ(formats.exitStatus, 0) << formats.err;
  for (const char* expected :
       {"'MJPG' (Motion-JPEG, compressed)", "'YUYV' (YUYV 4:2:2)", "Size: Discrete 640x480",
        "Interval: Discrete 0.033s (30.000 fps)", "Interval: Discrete 0.100s (10.000 fps)"})
    EXPECT_NE(formats.out.find(expected), std::string::npos) << expected << "\n" << formats.out;

  auto all = tool({"/usr/bin/v4l2-ctl", "-d", "/dev/video0", "--all"});
  EXPECT_EQ(all.exitStatus, 0) << all.err;
  EXPECT_NE(all.out.find("Width/Height      : 1280/720"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("Frames per second: 30.000"), std::string::npos) << all.out;
}

TEST_F(V4l2Emulator, V4l2CtlStreamsMemoryMappedFramesAtTheDevicesPace) {
  describe(kCamera);
  const fs::path out = dir / "frames.yuyv";
  auto r = tool({"/usr/bin/v4l2-ctl", "-d", "/dev/video0",
                 "--set-fmt-video=width=640,height=480,pixelformat=YUYV", "--stream-mmap",
                 "--stream-count=20", "--stream-to=" + out.string()});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(fs::file_size(out), 20u * 640 * 480 * 2);
  const auto times = deliveredTimes();
  ASSERT_EQ(times.size(), 20u);
  for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 33333, 1) << i;
  // Stamped with the monotonic clock, as drivers do: close to now on that clock.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  EXPECT_NEAR(double(times.back()) / 1e6, double(now.tv_sec) + now.tv_nsec / 1e9, 5);
}

TEST_F(V4l2Emulator, FfmpegReadsItAsAV4l2Input) {
  describe(kCamera);
  struct Case {
    std::vector<std::string> input;
    std::string probe;
  } cases[] = {
      {{"-input_format", "mjpeg", "-video_size", "1280x720", "-framerate", "30"},
       "mjpeg,1280,720,12"},
      {{"-input_format", "yuyv422", "-video_size", "640x480"}, "rawvideo,640,480,12"},
  };
  for (const Case& c : cases) {
    const fs::path out = dir / "out.mkv";
    std::vector<std::string> argv{"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "v4l2"};
    argv.insert(argv.end(), c.input.begin(), c.input.end());
    for (const char* a : {"-i", "/dev/video0", "-frames:v", "12", "-c", "copy"}) argv.push_back(a);
    argv.push_back(out.string());
    auto r = tool(argv);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    auto p = testing::run({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-show_entries",
                           "stream=codec_name,width,height,nb_read_frames", "-of", "csv=p=0",
                           out.string()});
    EXPECT_EQ(p.out, c.probe + "\n");
  }
}

TEST_F(V4l2Emulator, FaultsAreTheErrorsADriverGives) {
  describe(std::string(kCamera) + "open-error EACCES\n");
  auto denied = tool({"/usr/bin/v4l2-ctl", "-d", "/dev/video0", "--all"});
  EXPECT_NE(denied.exitStatus, 0);
  EXPECT_NE((denied.out + denied.err).find("Permission denied"), std::string::npos)
      << denied.out << denied.err;

  describe(std::string(kCamera) + "streamon-error EBUSY\n");
  auto busy = tool({"/usr/bin/v4l2-ctl", "-d", "/dev/video0", "--stream-mmap", "--stream-count=5"});
  EXPECT_NE((busy.out + busy.err).find("Device or resource busy"), std::string::npos)
      << busy.out << busy.err;

  // Pulled out after 5 frames: the stream ends in an error instead of waiting forever.
  describe(std::string(kCamera) + "unplug-at 5\n");
  auto unplugged =
      tool({"/usr/bin/v4l2-ctl", "-d", "/dev/video0", "--stream-mmap", "--stream-count=30"});
  EXPECT_EQ(deliveredTimes().size(), 5u);
  EXPECT_NE((unplugged.out + unplugged.err).find("No such device"), std::string::npos)
      << unplugged.out << unplugged.err;
}

TEST_F(V4l2Emulator, IrregularIntervalsAndStallsShowInTheTimestamps) {
  describe(std::string(kCamera) + "jitter 0.4\nstall-at 10 500\n");
  auto r = tool({"/usr/bin/v4l2-ctl", "-d", "/dev/video0", "--stream-mmap", "--stream-count=20"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  const auto times = deliveredTimes();
  ASSERT_EQ(times.size(), 20u);
  std::set<long long> steps;
  for (size_t i = 1; i < times.size(); ++i) {
    const long long step = times[i] - times[i - 1];
    steps.insert(step / 1000);
    if (i == 10) {
      EXPECT_GT(step, 500000) << "the stall";
    } else {
      EXPECT_GT(step, 33333 * 0.59) << i;
      EXPECT_LT(step, 33333 * 1.41) << i;
    }
  }
  EXPECT_GT(steps.size(), 5u) << "intervals vary";
}

TEST(V4l2EmulatorDescription, ReadsDevicesAndRefusesWhatItDoesNotKnow) {
  std::string error;
  auto d = v4l2emu::parseDescription(
      "# a camera\ndevice /dev/video2\nformat MJPG 1280x720 30 7.5\nformat MJPG 640x480 30\n"
      "unplug-at 9\nstall-at 3 250\n",
      &error);
  ASSERT_TRUE(d) << error;
  ASSERT_EQ(d->devices.size(), 1u);
  const auto& dev = d->devices[0];
  ASSERT_EQ(dev.formats.size(), 1u);
  ASSERT_EQ(dev.formats[0].sizes.size(), 2u);
  EXPECT_EQ(dev.formats[0].sizes[0].intervals[1], (std::pair<uint32_t, uint32_t>{2, 15}));
  EXPECT_EQ(dev.unplug, (std::pair<int64_t, int64_t>{9, -1}));
  EXPECT_EQ(dev.stall, (std::pair<int64_t, int64_t>{3, 250}));
  for (const char* bad : {"format MJPG 1280x720 30\n", "device /dev/video0\nformat MJPG 1280x720\n",
                          "device /dev/video0\nopen-error ENOPE\n", "device /dev/video0\nwobble\n"})
    EXPECT_FALSE(v4l2emu::parseDescription(bad, &error)) << bad;
}

}  // namespace
}  // namespace talvex
