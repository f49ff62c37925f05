// talvex-lumipose live, run as the parent application runs it: control lines on standard
// input, events on standard error, real signals. The camera is a played filter graph through
// talvex-lumipose-testcam (this machine has none); the shipped program is run where the
// missing camera is what is being tested.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/device_log.h"
#include "tests/live_session.h"
#include "tests/run_program.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::RunningProgram;
using testing::shell;

using testing::kMovingCamera;
using testing::recLine;

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// Whether the movie holds a whole fragment: a movie fragment box followed by all of its
// media data box, as far as the file has been written.
bool wholeFragment(const fs::path& movie) {
  std::ifstream in(movie, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  bool fragment = false;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | static_cast<uint8_t>(bytes[at + i]);
    const std::string type = bytes.substr(at + 4, 4);
    if (size < 8 || at + size > bytes.size()) return false;
    if (type == "moof") fragment = true;
    if (type == "mdat" && fragment) return true;
    at += size;
  }
  return false;
}

class LiveE2E : public ::testing::Test {
 protected:
  std::unique_ptr<RunningProgram> testcam(const std::string& input) {
    return std::make_unique<RunningProgram>(
        std::vector<std::string>{testing::buildPath("talvex-lumipose-testcam"), "live",
                                 preview().string()},
        std::map<std::string, std::string>{{"TALVEX_TEST_CAMERA", input}});
  }
  fs::path preview() const { return dir / "preview.jpg"; }
  // Waits until a recording has frames in it: its frames file holds a record, or (when it has
  // none) two previews came after its start, six frames at least.
  bool recorded(const fs::path& frames) {
    if (fs::exists(frames.parent_path()))
      return testing::eventually([&] { return testing::fileLines(frames).size() >= 2; }, 30s);
    return testing::fileReplaced(preview(), 10s) && testing::fileReplaced(preview(), 10s);
  }
  // The count of "REC:stopped:N", or -1 when the line does not come.
  int waitStopped(RunningProgram& c) {
    auto line = c.waitForLine("REC:stopped:", 60s, true);
    return line ? testing::stoppedCount(*line) : -1;
  }
  // Records m.mov in the session until its frames file has records.
  bool startsRecording(RunningProgram& c) {
    c.write(recLine(dir / "m.mov", dir / "m.jsonl"));
    return c.waitForLine("REC:started", 30s) && recorded(dir / "m.jsonl");
  }
  // Sends `signo`; the session must quit cleanly. Nullopt, and a failure, when it does not.
  std::optional<testing::RunResult> quitsOn(RunningProgram& c, int signo) {
    c.signal(signo);
    auto r = c.wait(30s);
    EXPECT_TRUE(r) << "no exit";
    if (r) {
      EXPECT_EQ(r->exitStatus, 0);
      EXPECT_EQ(r->termSignal, 0);
    }
    return r;
  }

  testing::TempDir tmp{"live_e2e"};
  fs::path dir = tmp.path();
};

TEST_F(LiveE2E, NoCameraOnThisMachine) {
  bool anyVideo = false;
  for (const auto& e : fs::directory_iterator("/dev"))
    anyVideo |= e.path().filename().string().rfind("video", 0) == 0;
  if (anyVideo) GTEST_SKIP() << "this machine has a /dev/video device; no-camera cannot be shown";
  auto r = testing::run({testing::buildPath("talvex-lumipose"), "live", preview().string()});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "ERR:no-camera\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(preview()));
}

TEST_F(LiveE2E, TestProgramWithoutAnInputHasNoCamera) {
  auto r = testing::run({testing::buildPath("talvex-lumipose-testcam"), "live", preview().string()},
                        "", {{"TALVEX_TEST_CAMERA", ""}});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "ERR:no-camera\n");
  // A camera that cannot be opened reports the system's reason.
  r = testing::run({testing::buildPath("talvex-lumipose-testcam"), "live", preview().string()}, "",
                   {{"TALVEX_TEST_CAMERA", (dir / "missing.mp4").string()}});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "ERR:No such file or directory\n");
}

TEST_F(LiveE2E, PermissionAnswers) {
  auto live = [&](const std::string& permission) {
    return testing::run(
        {testing::buildPath("talvex-lumipose-testcam"), "live", preview().string()}, "QUIT\n",
        {{"TALVEX_TEST_CAMERA", kMovingCamera}, {"TALVEX_TEST_CAMERA_PERMISSION", permission}});
  };
  for (const char* refused : {"denied", "restricted", "ask-refuse"}) {
    auto r = live(refused);
    EXPECT_EQ(r.exitStatus, 1) << refused;
    EXPECT_EQ(r.err, "ERR:no-permission\n") << refused;
    EXPECT_FALSE(fs::exists(preview()));
  }
  // Granted when asked: the session goes live from the answer and reads its control lines.
  auto granted = live("ask-grant");
  EXPECT_EQ(granted.exitStatus, 0);
  EXPECT_EQ(granted.err.rfind("ERR:", 0), std::string::npos) << granted.err;

  // status reports the word without asking.
  auto status = testing::run({testing::buildPath("talvex-lumipose-testcam"), "status"}, "",
                             {{"TALVEX_TEST_CAMERA_PERMISSION", "ask-pending"}});
  EXPECT_EQ(status.out, "notDetermined\n");
  EXPECT_EQ(status.exitStatus, 0);
}

TEST_F(LiveE2E, SigintWhileThePermissionQuestionIsOpenQuitsSilently) {
  RunningProgram c(
      {testing::buildPath("talvex-lumipose-testcam"), "live", preview().string()},
      {{"TALVEX_TEST_CAMERA", kMovingCamera}, {"TALVEX_TEST_CAMERA_PERMISSION", "ask-pending"}});
  // Control lines wait unread while the question is open.
  c.write("REC " + (dir / "m.mov").string() + "\t" + (dir / "m.jsonl").string() + "\n");
  // The question is asked, and never answered, once the program has taken its signals.
  ASSERT_TRUE(testing::signalsTaken(c.pid(), {SIGINT, SIGTERM}));
  c.signal(SIGINT);
  auto r = c.wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_EQ(r->termSignal, 0);
  EXPECT_EQ(r->err, "");
  EXPECT_FALSE(fs::exists(dir / "m.mov"));
}

TEST_F(LiveE2E, PreviewComesAtTheSixthFrameMirroredAndGoesAtQuit) {
  // Two frames a second: the sixth comes 2.5 s after the first, so its absence is observable.
  auto c = testcam(
      "color=c=black:size=1280x720:rate=2,drawbox=x=0:y=0:w=320:h=720:color=white:"
      "t=fill");
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  EXPECT_FALSE(fs::exists(preview()));
  ASSERT_TRUE(testing::eventually([&] { return fs::exists(preview()); }, 6s));

  int st = 0;
  const std::string grey = shell(
      "ffmpeg -v error -i " + quoted(preview()) + " -f rawvideo -pix_fmt gray - 2>/dev/null", &st);
  const std::string size = shell(
      "ffprobe -v error -show_entries stream=width,height -of "
      "csv=p=0 " +
      quoted(preview()));
  EXPECT_EQ(size, "480,270\n");
  ASSERT_EQ(grey.size(), 480u * 270u);
  auto at = [&](int x, int y) {
    return static_cast<uint8_t>(grey[static_cast<size_t>(y * 480 + x)]);
  };
  // The mark on the camera's left is on the preview's right.
  EXPECT_GT(at(470, 135), 200);
  EXPECT_LT(at(10, 135), 40);

  c->write("QUIT\n");
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_EQ(r->err, "STARTED\n");
  EXPECT_FALSE(fs::exists(preview()));
}

TEST_F(LiveE2E, RecordingsStopsMalformedLinesAndQuitWhileRecording) {
  auto c = testcam(kMovingCamera);
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  // Ignored without a word: lower case, a tab after the word, blank lines, REC alone.
  c->write("rec a\tb\nREC\tx\ty\n   \n\nREC\nhello\n");
  // Malformed operands: one path, three paths.
  c->write("REC " + (dir / "one.mov").string() + "\n");
  c->write("REC a\tb\tc\n");
  // A CRLF line records into paths without the carriage return.
  // Spaces inside the paths are part of them.
  const std::string crlf = recLine(dir / "a movie.mov", dir / "a frames.jsonl");
  c->write(crlf.substr(0, crlf.size() - 1) + "\r\n");
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  c->write(recLine(dir / "ignored.mov", dir / "ignored.jsonl"));  // REC while recording
  ASSERT_TRUE(recorded(dir / "a frames.jsonl"));
  c->write("STOP\n");
  const int a = waitStopped(*c);
  c->write("STOP\n");  // nothing to stop

  // The second recording's frames file cannot be made: the movie is recorded all the same.
  c->write(recLine(dir / "b.mov", dir / "missing" / "b.jsonl"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  ASSERT_TRUE(recorded(dir / "missing" / "b.jsonl"));
  c->write("STOP now\n");
  const int b = waitStopped(*c);

  c->write(recLine(dir / "c.mov", dir / "c.jsonl"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  ASSERT_TRUE(recorded(dir / "c.jsonl"));
  c->write("QUIT\n");
  auto r = c->wait(60s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  const int q = testing::stoppedCount(r->err);
  EXPECT_EQ(r->err,
            "STARTED\n"
            "ERR:REC needs <movie>\\t<frames>\n"
            "ERR:REC needs <movie>\\t<frames>\n"
            "REC:started\nREC:stopped:" +
                std::to_string(a) +
                "\n"
                "REC:started\nREC:stopped:" +
                std::to_string(b) +
                "\n"
                "REC:started\nREC:stopped:" +
                std::to_string(q) + "\n");
  EXPECT_FALSE(fs::exists(preview()));
  EXPECT_FALSE(fs::exists(dir / "ignored.mov"));
  EXPECT_FALSE(fs::exists(dir / "ignored.jsonl"));
  EXPECT_FALSE(fs::exists(dir / "one.mov"));
  EXPECT_FALSE(fs::exists(dir / "missing"));

  // Each movie: H.264 1280x720, exactly the reported frames, starting at 0.
  for (auto [name, n] : {std::pair{"a movie.mov", a}, {"b.mov", b}, {"c.mov", q}}) {
    const testing::Movie p = testing::probe(dir / name);
    ASSERT_FALSE(p.pts.empty()) << name;
    EXPECT_EQ(p.codec, "h264") << name;
    EXPECT_EQ(p.width, 1280) << name;
    EXPECT_EQ(p.height, 720) << name;
    EXPECT_GT(n, 0) << name;
    EXPECT_EQ(testing::decodedFrames(dir / name), n) << name;
    EXPECT_DOUBLE_EQ(p.pts.front(), 0.0) << name;
  }

  // Frames file: the header, then a record per third session frame, t on the movie timeline.
  for (const char* name : {"a frames.jsonl", "c.jsonl"}) {
    const auto lines = testing::fileLines(dir / name);
    ASSERT_GE(lines.size(), 2u) << name;
    const auto epoch = testing::startEpoch(dir / name);
    ASSERT_TRUE(epoch) << lines[0];
    EXPECT_NEAR(*epoch, double(::time(nullptr)), 120);
    double last = -1;
    for (size_t i = 1; i < lines.size(); ++i) {
      double t = -1;
      ASSERT_EQ(std::sscanf(lines[i].c_str(), "{\"t\":%lf,", &t), 1) << lines[i];
      // The camera runs on a 1/30 s grid, so every t is a whole number of frame times.
      EXPECT_NEAR(t * 30, std::round(t * 30), 0.05) << lines[i];
      EXPECT_GT(t, last);
      // Analysed frames are three delivered frames apart, never closer.
      if (last >= 0) {
        EXPECT_GE(t - last, 0.099) << lines[i];
      }
      last = t;
    }
  }
  // Records came (their spacing, at least three frames apart, is checked above).
  EXPECT_GE(testing::fileLines(dir / "a frames.jsonl").size(), 2u);
}

TEST_F(LiveE2E, EndOfInputQuitsAfterStoppingTheRecording) {
  auto c = testcam(kMovingCamera);
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  ASSERT_TRUE(startsRecording(*c));
  c->closeInput();
  const int n = waitStopped(*c);
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_EQ(testing::decodedFrames(dir / "m.mov"), n);
  EXPECT_FALSE(fs::exists(preview()));
}

TEST_F(LiveE2E, SigtermDuringARecordingAndSigintWhileIdleQuitCleanly) {
  auto c = testcam(kMovingCamera);
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  ASSERT_TRUE(startsRecording(*c));
  auto r = quitsOn(*c, SIGTERM);
  ASSERT_TRUE(r);
  const int n = testing::stoppedCount(r->err);
  EXPECT_EQ(r->err, "STARTED\nREC:started\nREC:stopped:" + std::to_string(n) + "\n");
  EXPECT_EQ(testing::decodedFrames(dir / "m.mov"), n);

  auto idle = testcam(kMovingCamera);
  ASSERT_TRUE(idle->waitForLine("STARTED", 30s));
  auto ri = quitsOn(*idle, SIGINT);
  ASSERT_TRUE(ri);
  EXPECT_EQ(ri->err, "STARTED\n");
}

TEST_F(LiveE2E, AMovieKilledMidRecordingStillPlays) {
  auto c = testcam(kMovingCamera);
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  c->write(recLine(dir / "m.mov", dir / "m.jsonl"));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  // Until the first fragment (2 s of camera time) is whole in the file.
  ASSERT_TRUE(testing::eventually([&] { return wholeFragment(dir / "m.mov"); }, 30s));
  c->signal(SIGKILL);
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->termSignal, SIGKILL);
  const testing::Movie p = testing::probe(dir / "m.mov");
  ASSERT_FALSE(p.pts.empty());
  EXPECT_EQ(p.codec, "h264");
  // At least the first fragment (2 s of camera time) is there, however loaded the machine.
  EXPECT_GE(testing::decodedFrames(dir / "m.mov"), 15);
  EXPECT_DOUBLE_EQ(p.pts.front(), 0.0);
  // And it decodes from start to end without an error.
  EXPECT_EQ(testing::decodeErrors(dir / "m.mov"), "");
  // The frames file keeps every line written before the kill.
  EXPECT_GE(testing::fileLines(dir / "m.jsonl").size(), 2u);
}

// REC lines that would destroy what is not the recording's, or (a pipe nobody reads) keep the
// session waiting where no control line or signal reaches it: each is refused with one line, and
// the session still records, and quits on a signal.
TEST_F(LiveE2E, RecPathsThatAreNotTheRecordingsOwnAreRefusedAndSignalsStillWork) {
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir / "folder");
  auto c = testcam(kMovingCamera);
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  const std::string fifo = (dir / "fifo").string(), folder = (dir / "folder").string();
  const std::string same = (dir / "same.mov").string();
  const std::pair<std::string, std::string> refused[] = {
      {recLine(dir / "fifo", dir / "f.jsonl"), "ERR:not a regular file: " + fifo},
      {recLine(dir / "m.mov", dir / "fifo"), "ERR:not a regular file: " + fifo},
      {recLine(dir / "folder", dir / "f.jsonl"), "ERR:not a regular file: " + folder},
      {recLine(dir / "same.mov", dir / "same.mov"),
       "ERR:movie and frames are the same file: " + same},
      {recLine(preview(), dir / "f.jsonl"), "ERR:same file as the preview: " + preview().string()},
  };
  for (const auto& [line, said] : refused) {
    c->write(line);
    ASSERT_TRUE(c->waitForLine(said, 10s)) << c->errSoFar();
  }
  ASSERT_TRUE(startsRecording(*c));
  auto r = quitsOn(*c, SIGTERM);
  ASSERT_TRUE(r);
  std::string expected = "STARTED\n";
  for (const auto& [line, said] : refused) expected += said + "\n";
  const int n = testing::decodedFrames(dir / "m.mov");
  EXPECT_GT(n, 0);
  EXPECT_EQ(r->err, expected + "REC:started\nREC:stopped:" + std::to_string(n) + "\n");
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
  EXPECT_FALSE(fs::exists(dir / "same.mov"));
  EXPECT_FALSE(fs::exists(dir / "f.jsonl"));
}

}  // namespace
}  // namespace talvex
