// talvex-lumipose live when the world around it fails: a disk that fills up before or during a
// recording, a parent that stops reading. The disks are real tmpfs mounts of a few pages; the
// camera is a played filter graph through talvex-lumipose-testcam.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/device_log.h"
#include "tests/live_session.h"
#include "tests/run_program.h"
#include "tests/small_disk.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::RunningProgram;
using testing::SmallDisk;

using testing::decodedFrames;
using testing::kMovingCamera;
using testing::recLine;

int countLinesStartingWith(const std::string& text, const std::string& start) {
  int n = 0;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) n += l.rfind(start, 0) == 0;
  return n;
}

class LiveFailures : public ::testing::Test {
 protected:
  std::unique_ptr<RunningProgram> testcam() {
    return std::make_unique<RunningProgram>(
        std::vector<std::string>{testing::buildPath("talvex-lumipose-testcam"), "live",
                                 preview().string()},
        std::map<std::string, std::string>{{"TALVEX_TEST_CAMERA", kMovingCamera}});
  }
  fs::path preview() const { return dir / "preview.jpg"; }

  testing::TempDir tmp{"live_failures"};
  fs::path dir = tmp.path();
};

TEST_F(LiveFailures, DiskFillingUpMidRecordingKeepsWhatPlaysAndSaysSoOnce) {
  // 1 MiB holds well under 4 s of 2.5 Mbit/s video: the disk fills while recording.
  SmallDisk disk(1 << 20);
  ASSERT_TRUE(disk.mounted()) << disk.error();
  const std::string movie = disk.file("m.mov"), frames = disk.file("m.jsonl");
  auto c = testcam();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  c->write(recLine(movie, frames));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  ASSERT_TRUE(c->waitForLine("ERR:", 60s, true)) << c->errSoFar();
  std::this_thread::sleep_for(1s);  // frames keep coming after the failure
  c->write("STOP\n");
  auto stopped = c->waitForLine("REC:stopped:", 60s, true);
  ASSERT_TRUE(stopped) << c->errSoFar();
  c->write("QUIT\n");
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);

  // One line says why, with the system's words; nothing else went wrong.
  EXPECT_EQ(countLinesStartingWith(r->err, "ERR:"), 1) << r->err;
  EXPECT_NE(r->err.find("ERR:No space left on device\n"), std::string::npos) << r->err;
  // The count is what the movie holds, and all of it decodes.
  const int n = testing::stoppedCount(*stopped);
  EXPECT_EQ(decodedFrames(movie), n);
  EXPECT_EQ(testing::decodeErrors(movie), "") << "the movie ends at its last complete fragment";
  // The frames file holds whole lines only.
  const std::string text = testing::fileText(frames);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "ends inside a line";
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);)
    EXPECT_TRUE(nlohmann::json::accept(l)) << "not a whole record: " << l;
}

TEST_F(LiveFailures, RecordingOntoAFullDiskLeavesNothingBehind) {
  SmallDisk disk(64 << 10);
  ASSERT_TRUE(disk.mounted()) << disk.error();
  disk.fill();
  const std::string movie = disk.file("m.mov"), frames = disk.file("m.jsonl");
  auto c = testcam();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  c->write(recLine(movie, frames));
  auto err = c->waitForLine("ERR:", 30s, true);
  ASSERT_TRUE(err) << c->errSoFar();
  EXPECT_EQ(*err, "ERR:No space left on device");
  c->write("STOP\nQUIT\n");
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_EQ(r->err, "STARTED\nERR:No space left on device\n") << "not recording: STOP says nothing";
  EXPECT_FALSE(fs::exists(movie)) << "a movie that could not be opened leaves no file";
  EXPECT_FALSE(fs::exists(frames));
}

TEST_F(LiveFailures, FramesFileOnAFullDiskIsSaidOnceAndTheMovieGoesOn) {
  SmallDisk disk(64 << 10);
  ASSERT_TRUE(disk.mounted()) << disk.error();
  disk.fill();
  const std::string movie = (dir / "m.mov").string(), frames = disk.file("m.jsonl");
  auto c = testcam();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  c->write(recLine(movie, frames));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  ASSERT_TRUE(c->waitForLine("ERR:No space left on device", 30s)) << c->errSoFar();
  std::this_thread::sleep_for(1s);  // more records fail; none is said again
  c->write("STOP\nQUIT\n");
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_EQ(countLinesStartingWith(r->err, "ERR:"), 1) << r->err;
  const int n = testing::stoppedCount(r->err);
  EXPECT_GT(n, 0);
  EXPECT_EQ(decodedFrames(movie), n) << "the movie does not depend on its frames file";
  EXPECT_EQ(testing::fileText(frames), "");
}

TEST_F(LiveFailures, ParentThatStopsReadingStillGetsACleanQuit) {
  auto c = testcam();
  ASSERT_TRUE(c->waitForLine("STARTED", 30s));
  const std::string movie = (dir / "m.mov").string();
  c->write(recLine(movie, (dir / "m.jsonl").string()));
  ASSERT_TRUE(c->waitForLine("REC:started", 30s));
  for (int i = 0; i < 200 && !fs::exists(preview()); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(fs::exists(preview()));
  // The parent closes its end of standard error, then of standard input: "REC:stopped:N"
  // has nowhere to go, which must cost neither the movie nor the clean-up.
  c->closeErrorOutput();
  std::this_thread::sleep_for(500ms);
  c->closeInput();
  auto r = c->wait(30s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->termSignal, 0) << "killed by signal " << r->termSignal;
  EXPECT_EQ(r->exitStatus, 0);
  EXPECT_FALSE(fs::exists(preview()));
  EXPECT_GT(decodedFrames(movie), 0);
  EXPECT_EQ(testing::decodeErrors(movie), "");
}

}  // namespace
}  // namespace talvex
