#include "lumipose/live/live.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "lumipose/analysis/testing/fake_detector.h"
#include "platform/process/testing/eventually.h"

namespace talvex::lumipose {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A camera that never delivers by itself: the tests hand frames to the pipeline directly, and
// say when it is lost.
class IdleCamera : public media::Camera {
 public:
  explicit IdleCamera(std::function<void(LossHandler)> started) : started_(std::move(started)) {}
  void start(SerialQueue&, FrameHandler, LossHandler lost, PictureWanted) override {
    started_(std::move(lost));
  }
  void stop() override {}
  media::CameraStats stats() const override { return {}; }

 private:
  std::function<void(LossHandler)> started_;
};

class IdleSource : public media::CameraSource {
 public:
  media::CameraPermission permission() override { return media::CameraPermission::Authorized; }
  bool requestAccess() override { return true; }
  Result<std::unique_ptr<media::Camera>> open() override {
    ++opens;
    return std::unique_ptr<media::Camera>(std::make_unique<IdleCamera>([this](auto lost) {
      std::lock_guard lock(mu);
      lostHandler = std::move(lost);
    }));
  }
  // What the running camera would call, on the frame queue, when it goes away.
  Work lost() {
    std::lock_guard lock(mu);
    return [handler = lostHandler] { handler(media::CameraLoss::Gone); };
  }

  std::atomic<int> opens{0};

 private:
  std::mutex mu;
  media::Camera::LossHandler lostHandler;
};

std::vector<std::string> readLines(const fs::path& p) {
  std::ifstream in(p);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// Frames of the movie as ffprobe counts them; -1 when it cannot read the file.
int movieFrames(const fs::path& p) {
  std::string cmd =
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames -of csv=p=0 '" +
      p.string() + "' 2>/dev/null";
  FILE* f = ::popen(cmd.c_str(), "r");
  if (!f) return -1;
  char buf[64] = {};
  const bool got = std::fgets(buf, sizeof buf, f) != nullptr;
  ::pclose(f);
  return got ? std::atoi(buf) : -1;
}

class LiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/live_test.XXXXXX";
    dir = ::mkdtemp(tmpl);
    makeLive((dir / "preview.jpg").string());
    ::testing::internal::CaptureStderr();
  }
  void TearDown() override {
    live.reset();
    fs::remove_all(dir);
  }
  void makeLive(const std::string& preview) {
    live = std::make_unique<Live>(
        preview, source,
        [] { return Result<std::unique_ptr<vision::Detector>>::failure("unused"); },
        LiveHooks{[this](int status) { exits.push_back(status); }, {}});
    auto detector = std::make_unique<testing::FakeDetector>();
    detector->fail = true;  // records of only "t" and "faces"
    live->useDetector(std::move(detector));
    live->start();
  }
  // Frame n (from 1) of the session, 1/30 s apart on a camera clock far from zero.
  void frame() {
    ++sent;
    media::CameraFrame f{image, media::MediaTime::make(7'000'000'000 + sent * 33333, 1000000)};
    live->frameQueue().sync([&] { live->captureOutput(f); });
    // Real-time pacing keeps the encoder's hand-off from filling up.
    if (pace) std::this_thread::sleep_for(30ms);
  }
  void frames(int n) {
    for (int i = 0; i < n; ++i) frame();
  }
  void settle() {
    live->frameQueue().sync([] {});
  }
  std::string err() { return ::testing::internal::GetCapturedStderr(); }
  // The preview is written on a queue of its own, shortly after its frame.
  static bool appears(const fs::path& p) {
    return talvex::testing::eventually([&] { return fs::exists(p); }, 5s);
  }

  fs::path dir;
  IdleSource source;
  std::unique_ptr<Live> live;
  std::vector<int> exits;
  PixelBuffer image = PixelBuffer::allocateNV12(1280, 720);
  int sent = 0;
  bool pace = true;
};

TEST_F(LiveTest, StartedOnceAndAPreviewEverySixthFrame) {
  pace = false;
  const fs::path preview = dir / "preview.jpg";
  frames(5);
  EXPECT_FALSE(fs::exists(preview));
  frame();
  ASSERT_TRUE(appears(preview));
  EXPECT_GT(fs::file_size(preview), 100u);
  fs::remove(preview);
  frames(5);
  EXPECT_FALSE(fs::exists(preview));
  frame();
  EXPECT_TRUE(appears(preview));
  EXPECT_EQ(err(), "STARTED\n");
}

TEST_F(LiveTest, RecordingFromFrameSevenAnalysesFramesNineTwelveFifteen) {
  frames(6);
  live->rec((dir / "m.mov").string(), (dir / "f.jsonl").string());
  frames(10);  // running frames 7..16
  live->stop();
  settle();
  const std::string e = err();
  const auto lines = readLines(dir / "f.jsonl");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("{\"start_epoch\":", 0), 0u) << lines[0];
  // t on the movie's timeline: frame 7 is 0.
  EXPECT_EQ(lines[1], "{\"t\":0.067,\"faces\":0}");
  EXPECT_EQ(lines[2], "{\"t\":0.167,\"faces\":0}");
  EXPECT_EQ(lines[3], "{\"t\":0.267,\"faces\":0}");
  const int n = movieFrames(dir / "m.mov");
  EXPECT_GT(n, 0);
  EXPECT_EQ(e, "STARTED\nREC:started\nREC:stopped:" + std::to_string(n) + "\n");
}

TEST_F(LiveTest, ARecordingStartingOnAnAnalysedFrameBeginsAtZero) {
  frames(8);
  live->rec((dir / "m.mov").string(), (dir / "f.jsonl").string());
  frames(4);  // 9..12
  live->stop();
  settle();
  const auto lines = readLines(dir / "f.jsonl");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "{\"t\":0,\"faces\":0}");
  EXPECT_EQ(lines[2], "{\"t\":0.1,\"faces\":0}");
  err();
}

TEST_F(LiveTest, StartEpochIsTheCaptureMomentOfTheFirstRecordedFrame) {
  using namespace std::chrono;
  frames(2);
  live->rec((dir / "m.mov").string(), (dir / "f.jsonl").string());
  settle();
  // The first recorded frame was captured 300 ms before the pipeline gets it, as when it
  // waited behind the open-recording work; the next one is stamped on the same clock.
  const auto captured = steady_clock::now() - 300ms;
  const double expected =
      duration<double>((system_clock::now() - 300ms).time_since_epoch()).count();
  for (int i = 0; i < 3; ++i) {
    const auto micros =
        duration_cast<microseconds>((captured + i * 33333us).time_since_epoch()).count();
    media::CameraFrame f{image, media::MediaTime::make(micros, 1000000)};
    live->frameQueue().sync([&] { live->captureOutput(f); });
  }
  live->stop();
  settle();
  err();
  const auto lines = readLines(dir / "f.jsonl");
  ASSERT_FALSE(lines.empty());
  double epoch = 0;
  ASSERT_EQ(std::sscanf(lines[0].c_str(), "{\"start_epoch\":%lf}", &epoch), 1) << lines[0];
  // Three decimals, and the capture moment rather than the handling one (300 ms later).
  EXPECT_NEAR(epoch, expected, 0.005) << lines[0];
  EXPECT_DOUBLE_EQ(epoch, std::round(epoch * 1000) / 1000);
}

TEST_F(LiveTest, StopBeforeAnyFrameCancelsAndReportsZero) {
  std::ofstream(dir / "m.mov") << "old movie";
  live->rec((dir / "m.mov").string(), (dir / "f.jsonl").string());
  live->stop();
  live->stop();  // a second STOP says nothing
  settle();
  EXPECT_EQ(err(), "REC:stopped:0\n");
  EXPECT_TRUE(fs::exists(dir / "f.jsonl"));
  EXPECT_EQ(fs::file_size(dir / "f.jsonl"), 0u);
  EXPECT_FALSE(fs::exists(dir / "m.mov"));  // the old file was replaced, the new one dropped
}

TEST_F(LiveTest, MissingFramesDirectoryRecordsTheMovieOnly) {
  frames(1);
  live->rec((dir / "m.mov").string(), (dir / "nodir" / "f.jsonl").string());
  frames(6);
  live->stop();
  settle();
  const int n = movieFrames(dir / "m.mov");
  EXPECT_GT(n, 0);
  EXPECT_EQ(err(), "STARTED\nREC:started\nREC:stopped:" + std::to_string(n) + "\n");
  EXPECT_FALSE(fs::exists(dir / "nodir"));
}

TEST_F(LiveTest, UnwritableMovieStaysIdle) {
  live->rec((dir / "nodir" / "m.mov").string(), (dir / "f.jsonl").string());
  frames(2);
  live->stop();
  settle();
  EXPECT_EQ(err(), "ERR:No such file or directory\nSTARTED\n");
  EXPECT_FALSE(fs::exists(dir / "f.jsonl"));  // the frames file is not touched
}

TEST_F(LiveTest, TwoRecordingsInARowAndRecWhileRecordingIsIgnored) {
  live->rec((dir / "a.mov").string(), (dir / "a.jsonl").string());
  frames(4);
  live->rec((dir / "x.mov").string(), (dir / "x.jsonl").string());
  frames(3);
  live->stop();
  live->rec((dir / "b.mov").string(), (dir / "b.jsonl").string());
  frames(5);
  live->stop();
  settle();
  EXPECT_FALSE(fs::exists(dir / "x.mov"));
  EXPECT_FALSE(fs::exists(dir / "x.jsonl"));
  const int a = movieFrames(dir / "a.mov"), b = movieFrames(dir / "b.mov");
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_LE(a, 7);
  EXPECT_LE(b, 5);
  EXPECT_EQ(err(), "STARTED\nREC:started\nREC:stopped:" + std::to_string(a) +
                       "\nREC:started\nREC:stopped:" + std::to_string(b) + "\n");
  // Each frames file has its own header; the analysed frames are 3 and 6, then 9 and 12.
  const auto fa = readLines(dir / "a.jsonl"), fb = readLines(dir / "b.jsonl");
  ASSERT_EQ(fa.size(), 3u);
  ASSERT_EQ(fb.size(), 3u);
  EXPECT_EQ(fa[1], "{\"t\":0.067,\"faces\":0}");
  EXPECT_EQ(fb[0].rfind("{\"start_epoch\":", 0), 0u);
  EXPECT_EQ(fb[1], "{\"t\":0.033,\"faces\":0}");
}

TEST_F(LiveTest, QuitStopsTheRecordingRemovesThePreviewAndExitsZero) {
  live->rec((dir / "m.mov").string(), (dir / "f.jsonl").string());
  frames(6);
  ASSERT_TRUE(appears(dir / "preview.jpg"));
  live->quit();
  settle();
  const int n = movieFrames(dir / "m.mov");
  EXPECT_EQ(err(), "STARTED\nREC:started\nREC:stopped:" + std::to_string(n) + "\n");
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_FALSE(fs::exists(dir / "preview.jpg"));
}

TEST_F(LiveTest, APreviewThatCannotBeWrittenIsSaidOnce) {
  err();
  live.reset();
  makeLive((dir / "nodir" / "preview.jpg").string());
  ::testing::internal::CaptureStderr();
  pace = false;
  frames(12);
  live->quit();
  settle();
  EXPECT_EQ(err(), "STARTED\nERR:cannot write the preview: No such file or directory\n");
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_FALSE(fs::exists(dir / "nodir"));
  // A name that fills the file system's limit is written as any other.
  live.reset();
  const fs::path longName = dir / (std::string(251, 'p') + ".jpg");
  makeLive(longName.string());
  ::testing::internal::CaptureStderr();
  frames(6);
  EXPECT_TRUE(appears(longName));
  live->quit();
  settle();
  EXPECT_EQ(err(), "STARTED\n");
}

}  // namespace
}  // namespace talvex::lumipose

namespace talvex::lumipose {
namespace {

TEST_F(LiveTest, ALostCameraFinishesTheRecordingAndIsOpenedAgain) {
  frames(6);
  live->rec((dir / "m.mov").string(), (dir / "f.jsonl").string());
  frames(9);
  live->frameQueue().sync(source.lost());
  EXPECT_TRUE(talvex::testing::eventually([&] { return source.opens >= 2; }, 10s));
  EXPECT_EQ(source.opens, 2);
  settle();
  // Lost again before a frame came: the same loss, no second line.
  live->frameQueue().sync(source.lost());
  talvex::testing::eventually([&] { return source.opens >= 3; }, 10s);
  settle();
  // The camera that came back feeds the session: previews and recordings as before.
  const fs::path preview = dir / "preview.jpg";
  fs::remove(preview);
  frames(6);
  EXPECT_TRUE(appears(preview));
  live->quit();
  settle();
  EXPECT_EQ(exits, std::vector<int>{0});
  const int n = movieFrames(dir / "m.mov");
  EXPECT_EQ(n, 9);
  EXPECT_EQ(err(), "STARTED\nREC:started\nERR:camera-lost\nREC:stopped:9\n");
  EXPECT_EQ(readLines(dir / "f.jsonl").size(), 4u);  // header and frames 9, 12, 15
}

TEST_F(LiveTest, DetectorsThatCannotLoadEndTheSessionAfterItsRecording) {
  live.reset();
  (void)err();
  ::testing::internal::CaptureStderr();
  Semaphore loading{0};
  live = std::make_unique<Live>(
      (dir / "p.jpg").string(), source,
      [&loading] {
        loading.acquire();
        return Result<std::unique_ptr<vision::Detector>>::failure("models missing");
      },
      LiveHooks{[this](int status) { exits.push_back(status); }, {}});
  live->start();
  live->rec((dir / "m.mov").string(), (dir / "f.jsonl").string());
  frames(4);
  loading.release();
  talvex::testing::eventually(
      [&] {
        bool ended = false;
        live->frameQueue().sync([&] { ended = !exits.empty(); });
        return ended;
      },
      10s);
  settle();
  EXPECT_EQ(exits, std::vector<int>{1});
  EXPECT_EQ(err(), "STARTED\nREC:started\nERR:models missing\nREC:stopped:4\n");
  EXPECT_EQ(movieFrames(dir / "m.mov"), 4);
}

}  // namespace
}  // namespace talvex::lumipose

namespace talvex::lumipose {
namespace {

// What a REC line would destroy or wait on forever: each is refused with one line before
// anything at its paths is touched, and the session goes on.
TEST_F(LiveTest, RecPathsThatAreNotTheRecordingsOwnAreRefused) {
  using namespace std::string_literals;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir / "empty");
  fs::create_symlink("/dev/null", dir / "null");
  std::ofstream(dir / "kept.mov") << "a movie of the parent's";
  const std::string preview = (dir / "preview.jpg").string();
  struct Case {
    std::string movie, frames, line;
  };
  auto at = [&](const std::string& name) { return (dir / name).string(); };
  const Case cases[] = {
      {at("null"), at("f.jsonl"), "ERR:not a regular file: " + at("null")},
      {at("fifo"), at("f.jsonl"), "ERR:not a regular file: " + at("fifo")},
      {at("empty"), at("f.jsonl"), "ERR:not a regular file: " + at("empty")},
      {at("m.mov"), at("fifo"), "ERR:not a regular file: " + at("fifo")},
      {at("kept.mov"), at("kept.mov"), "ERR:movie and frames are the same file: " + at("kept.mov")},
      {preview, at("f.jsonl"), "ERR:same file as the preview: " + preview},
      {at("m.mov"), at("empty/../preview.jpg"),
       "ERR:same file as the preview: " + at("empty/../preview.jpg")},
      {at("m.mov\0x"s), at("f.jsonl"), "ERR:REC path with a NUL byte"},
  };
  pace = false;
  frames(6);
  ASSERT_TRUE(appears(preview));
  std::string expected = "STARTED\n";
  for (const Case& c : cases) {
    live->rec(c.movie, c.frames);
    frames(2);
    live->stop();
    settle();
    expected += c.line + "\n";
  }
  EXPECT_EQ(err(), expected);
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_TRUE(fs::is_directory(dir / "empty"));
  EXPECT_TRUE(fs::is_symlink(dir / "null"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_TRUE(fs::exists(preview));
  EXPECT_EQ(readLines(dir / "kept.mov"), std::vector<std::string>{"a movie of the parent's"});
  EXPECT_FALSE(fs::exists(dir / "m.mov"));
  EXPECT_FALSE(fs::exists(dir / "f.jsonl"));
}

TEST_F(LiveTest, FilesRemovedWhileRecordingAreReportedAtTheStop) {
  fs::create_directory(dir / "takes");
  live->rec((dir / "takes" / "m.mov").string(), (dir / "takes" / "f.jsonl").string());
  frames(4);
  fs::remove_all(dir / "takes");
  frames(3);
  live->stop();
  settle();
  const std::string e = err();
  const std::string said =
      "STARTED\nREC:started\nERR:removed while recording: " + (dir / "takes" / "m.mov").string() +
      "\nERR:removed while recording: " + (dir / "takes" / "f.jsonl").string() + "\nREC:stopped:";
  EXPECT_EQ(e.substr(0, said.size()), said);
  EXPECT_GT(std::atoi(e.c_str() + std::min(said.size(), e.size())), 0) << e;
  // A recording that is left alone says nothing more.
  ::testing::internal::CaptureStderr();
  live->rec((dir / "m.mov").string(), (dir / "f.jsonl").string());
  frames(3);
  live->stop();
  settle();
  EXPECT_EQ(err().find("ERR:"), std::string::npos);
}

}  // namespace
}  // namespace talvex::lumipose
