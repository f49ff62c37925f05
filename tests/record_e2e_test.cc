// talvex-record as a person runs it: the built program with its siblings beside it, a camera
// from the V4L2 emulator (preloaded into the camera program, which inherits it through
// talvex-record's environment) and the sound of a private PulseAudio. Standard output and error
// are pipes, so it prints its summary line and its error lines only.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "tests/beep_player.h"
#include "tests/device_log.h"
#include "tests/pulse_daemon.h"
#include "tests/run_program.h"
#include "tests/sync_marks.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::linesOf;
using testing::RunningProgram;
using testing::ServerKind;
using testing::TestSoundServer;

constexpr char kCamera[] = "device /dev/video0\nformat MJPG 1280x720 30\n";

class RecordE2E : public ::testing::Test {
 protected:
  void describe(const std::string& text) { std::ofstream(dir / "device") << text; }
  std::map<std::string, std::string> env(const TestSoundServer& sound) const {
    return {{"LD_PRELOAD", testing::buildPath("libv4l2_emulator.so")},
            {"TALVEX_V4L2_EMULATOR", (dir / "device").string()},
            {"PULSE_SERVER", sound.server()}};
  }
  static std::vector<std::string> command(const std::vector<std::string>& args) {
    std::vector<std::string> argv{testing::buildPath("talvex-record")};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  std::unique_ptr<RunningProgram> record(const std::vector<std::string>& args,
                                         const TestSoundServer& sound) {
    return std::make_unique<RunningProgram>(command(args), env(sound));
  }
  // Waits until the camera records: the frames file in talvex-record's work folder has its
  // header, written at the movie's first frame.
  bool waitForRecording(std::chrono::milliseconds within) {
    return testing::eventually(
        [&] {
          for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().rfind(".talvex-record-", 0) == 0 &&
                !testing::fileLines(e.path() / "frames.jsonl").empty())
              return true;
          return false;
        },
        within);
  }
  // The child of `parent` that runs `program` (by its executable's name).
  static pid_t childRunning(pid_t parent, const std::string& program) {
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                     "/children");
    for (pid_t pid; in >> pid;) {
      std::error_code ec;
      const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
      if (!ec && exe.filename() == program) return pid;
    }
    return -1;
  }
  // Everything in the folder besides the emulator's files.
  std::set<std::string> filesLeft() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    for (const char* ours : {"device", "device.log", "unplugged"}) names.erase(ours);
    return names;
  }
  // The codecs of the finished movie's streams, "h264 pcm_s16le".
  std::string streams(const fs::path& movie) const {
    std::string s =
        testing::shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" +
                       movie.string() + "' 2>/dev/null");
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s;
  }

  testing::TempDir tmp{"record_e2e"};
  fs::path dir = tmp.path();
  fs::path out = dir / "out.mov";
};

// The movie's picture is placed by the driver's timestamps (the emulator logs each frame's
// capture moment); each tone is played at a known moment. In the finished movie the tone must
// be where the frame captured at that moment is.
TEST_F(RecordE2E, AFiveSecondRecordingHasSoundAndPictureInStep) {
  TestSoundServer sound(ServerKind::pulseaudio, {.withSink = true, .busy = true});
  ASSERT_TRUE(sound.ready());
  // Uneven frame intervals: only one device frame can be the movie's first.
  describe(std::string(kCamera) + "jitter 0.45\nlog " + (dir / "device.log").string() + "\n");
  auto rec = record({"--seconds", "5", out.string()}, sound);
  ASSERT_TRUE(waitForRecording(60s)) << rec->errSoFar();

  // The marks that fit, with their 200 ms tones, into the five seconds with room to spare: on a
  // loaded machine the test may see the recording begin a second late.
  testing::BeepPlayer player(sound.server());
  const int64_t first = testing::monotonicNs() + 300'000'000;
  std::vector<testing::Beep> beeps;
  for (double s : testing::kMarks) {
    if (s > 3) break;
    auto b = player.playAt(first + static_cast<int64_t>(s * 1e9));
    ASSERT_TRUE(b) << "the tone player could not play";
    beeps.push_back(*b);
  }
  auto r = rec->wait(120s);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->exitStatus, 0) << r->err;
  EXPECT_EQ(r->err, "") << "through a pipe, nothing but the summary";
  const auto summary = linesOf(r->out);
  ASSERT_EQ(summary.size(), 1u) << r->out;
  EXPECT_EQ(summary[0].rfind(out.string() + ": ", 0), 0u) << summary[0];
  EXPECT_EQ(streams(out), "h264 pcm_s16le ");
  EXPECT_EQ(filesLeft(), (std::set<std::string>{"out.mov", "out.jsonl"}));

  const testing::Movie m = testing::probe(out);
  ASSERT_FALSE(m.pts.empty());
  // The stop comes 5 s after the first frame; the last frame before it may be a few uneven
  // (or, on a loaded machine, dropped) intervals earlier.
  EXPECT_GE(m.pts.back(), 4.8) << "recorded for the time asked";
  const testing::DeviceLog log = testing::readDeviceLog(dir / "device.log");
  const testing::DeviceLog::Frame* origin = testing::movieOrigin(m, log);
  ASSERT_NE(origin, nullptr) << "the movie's frame times are not the camera's";
  // The kept frames file is the recording's.
  ASSERT_GE(testing::fileLines(dir / "out.jsonl").size(), 2u);
  const double epoch = testing::startEpoch(dir / "out.jsonl").value_or(0);
  EXPECT_NEAR(epoch, origin->wallUs / 1e6, 0.0055);

  const auto tones = testing::movieTones(out.string());
  ASSERT_TRUE(tones) << "no sound in the finished movie";
  std::ostringstream expected;
  for (const auto& b : beeps) expected << ' ' << (b.heard / 1000 - origin->monoUs) / 1e6;
  ASSERT_EQ(tones->at.size(), beeps.size())
      << tones->described << "; played at (s):" << expected.str() << "; " << summary[0];
  std::string report = "record sync: sound-minus-picture ms:";
  for (size_t k = 0; k < beeps.size(); ++k) {
    const double picture = (beeps[k].heard / 1000 - origin->monoUs) / 1e6;
    EXPECT_NEAR(tones->at[k] - picture, 0, testing::kSyncTolerance)
        << "mark " << k << " at " << picture << " s; " << summary[0];
    char ms[32];
    std::snprintf(ms, sizeof ms, " %.1f", (tones->at[k] - picture) * 1000);
    report += ms;
  }
  std::printf("%s | start_epoch error ms: %.1f\n", report.c_str(),
              (epoch - origin->wallUs / 1e6) * 1000);
}

// On a terminal: one status line rewritten in place (carriage returns, never a line feed)
// while recording, erased before the summary, which goes to standard output alone.
TEST_F(RecordE2E, ATerminalGetsOneStatusLineErasedAtTheEnd) {
  TestSoundServer sound(ServerKind::pulseaudio, {.withSink = true, .busy = true});
  ASSERT_TRUE(sound.ready());
  describe(kCamera);
  const auto tty =
      testing::runWithTerminalStderr(command({"--seconds", "2", out.string()}), env(sound));
  EXPECT_EQ(tty.exitStatus, 0) << tty.terminal;
  EXPECT_EQ(linesOf(tty.out).size(), 1u) << tty.out;
  ASSERT_FALSE(tty.terminal.empty());
  EXPECT_EQ(tty.terminal.find('\n'), std::string::npos) << tty.terminal;
  EXPECT_NE(tty.terminal.find("\rREC 0:0"), std::string::npos) << tty.terminal;
  EXPECT_NE(tty.terminal.find("  sound ["), std::string::npos) << tty.terminal;
  EXPECT_EQ(tty.terminal.rfind("\r\x1b[K"), tty.terminal.size() - 4) << tty.terminal;
  EXPECT_EQ(streams(out), "h264 pcm_s16le ");
}

// Ways a recording ends early. Each ends with its lines, an exit status that says whether a
// finished movie exists, and no file but the finished ones.
enum class Event { interruptBeforeAPicture, interruptTwice, killTheSoundProgram, unplugTheCamera };
struct Ending {
  const char* name;
  std::string device;  // directives after the camera's; "GONE" becomes the unplug file
  Event event;
  int exitStatus;
  std::vector<std::string> errors;
  std::string streams;  // of the finished movie; empty: none may exist
};
void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

class RecordEndings : public RecordE2E, public ::testing::WithParamInterface<Ending> {};

TEST_P(RecordEndings, EndWithWhatBothHave) {
  const Ending& e = GetParam();
  TestSoundServer sound(ServerKind::pulseaudio, {.withSink = true, .busy = true});
  ASSERT_TRUE(sound.ready());
  std::string device = e.device;
  if (size_t at = device.find("GONE"); at != std::string::npos)
    device.replace(at, 4, (dir / "unplugged").string());
  describe(kCamera + device);
  auto rec = record({out.string()}, sound);
  switch (e.event) {
    case Event::interruptBeforeAPicture:
      std::this_thread::sleep_for(500ms);
      rec->signal(SIGINT);
      break;
    case Event::interruptTwice:
      ASSERT_TRUE(waitForRecording(60s)) << rec->errSoFar();
      rec->signal(SIGINT);
      std::this_thread::sleep_for(200ms);
      rec->signal(SIGINT);
      break;
    case Event::killTheSoundProgram: {
      ASSERT_TRUE(waitForRecording(60s)) << rec->errSoFar();
      std::this_thread::sleep_for(1500ms);
      const pid_t tap = childRunning(rec->pid(), "talvex-looptap");
      ASSERT_GT(tap, 0);
      ::kill(tap, SIGKILL);
      break;
    }
    case Event::unplugTheCamera:
      ASSERT_TRUE(waitForRecording(60s)) << rec->errSoFar();
      std::this_thread::sleep_for(1500ms);
      std::ofstream(dir / "unplugged").put('x');
      break;
  }
  auto r = rec->wait(120s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, e.exitStatus) << r->err;
  EXPECT_EQ(linesOf(r->err), e.errors);
  if (e.streams.empty()) {
    EXPECT_EQ(r->out, "");
    EXPECT_EQ(filesLeft(), std::set<std::string>{});
  } else {
    EXPECT_EQ(linesOf(r->out).size(), 1u) << r->out;
    EXPECT_EQ(streams(out), e.streams);
    EXPECT_EQ(filesLeft(), (std::set<std::string>{"out.mov", "out.jsonl"}));
    EXPECT_GE(testing::probe(out).pts.size(), 30u) << "the picture until the end";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, RecordEndings,
    ::testing::Values(
        Ending{"InterruptedBeforeAPicture",
               "first-frame-after 4000\n",
               Event::interruptBeforeAPicture,
               2,
               {"ERR:no movie: the camera recorded nothing; nothing written"},
               ""},
        Ending{"InterruptedTwice",
               "",
               Event::interruptTwice,
               2,
               {"ERR:interrupted twice: stopped at once; nothing written"},
               ""},
        Ending{"SoundProgramKilled",
               "",
               Event::killTheSoundProgram,
               0,
               {"ERR:sound: talvex-looptap ended (killed by signal 9 (Killed)); the recording "
                "ends with the sound so far"},
               "h264 pcm_s16le "},
        Ending{"CameraUnplugged",
               "gone-while GONE\n",
               Event::unplugTheCamera,
               0,
               {"ERR:camera: the camera went away; the recording ends here (camera-lost)"},
               "h264 pcm_s16le "}),
    [](const ::testing::TestParamInfo<Ending>& i) { return std::string(i.param.name); });

// Refused before any child starts: nothing is made, anywhere.
TEST_F(RecordE2E, AnOutputThatCannotBeWrittenIsRefusedAtOnce) {
  fs::create_directory(dir / "folder.mov");
  fs::create_directory(dir / "taken.jsonl");
  struct Case {
    std::string out, error;
  } cases[] = {
      {(dir / "missing" / "x.mov").string(),
       "ERR:cannot write " + (dir / "missing" / "x.mov").string() + ": No such file or directory"},
      {(dir / "folder.mov").string(),
       "ERR:cannot write " + (dir / "folder.mov").string() + ": it is not a regular file"},
      // The frames file kept beside the movie would replace a folder.
      {(dir / "taken.mov").string(),
       "ERR:cannot write " + (dir / "taken.jsonl").string() + ": it is not a regular file"},
  };
  for (const Case& c : cases) {
    auto r = testing::run({testing::buildPath("talvex-record"), "--seconds", "1", c.out});
    EXPECT_EQ(r.exitStatus, 2) << c.out;
    EXPECT_EQ(r.err, c.error + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(filesLeft(), (std::set<std::string>{"folder.mov", "taken.jsonl"})) << c.out;
  }
}

}  // namespace
}  // namespace talvex
