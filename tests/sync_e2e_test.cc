// A recording in sync, proven as the parent application makes one: the camera program records
// a camera whose frames carry their own number, the audio program records the sound server's
// output while a player sounds a tone at the capture moment of chosen frames, both are
// stopped, and `mux` joins movie and sound with
//   offset = (moment talvex-looptap printed STARTED) - start_epoch.
// The finished movie is then decoded and, for every mark, the tone's place is compared with
// the frame's. The camera is talvex-lumipose-testcam (this machine has none), or a camera node
// of a private PipeWire read by the shipped program; either logs when each frame was captured.
// Each sound server is a private one started by the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/media/read/movie_asset.h"
#include "platform/media/testing/media_fixtures.h"
#include "tests/beep_player.h"
#include "tests/device_log.h"
#include "tests/frame_code.h"
#include "tests/pipewire_camera_graph.h"
#include "tests/pulse_daemon.h"
#include "tests/run_program.h"
#include "tests/sync_marks.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::kMarks;
using testing::RunningProgram;

constexpr int kFps = 30;
constexpr double kEpochTolerance = 0.0055;  // start_epoch: 5 ms, plus its rounding to 1 ms

// Where frame n of the camera lies after its first frame, in microseconds (the
// camera's own rounding of n/30 s).
int64_t frameMicros(int64_t n) { return (n * 1'000'000 + kFps / 2) / kFps; }

int64_t wallNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Monotonic nanoseconds to wall-clock seconds, through one reading of both clocks.
struct ClockMap {
  ClockMap() {
    const int64_t a = testing::monotonicNs();
    wall = wallNs();
    mono = a + (testing::monotonicNs() - a) / 2;
  }
  double wallSeconds(int64_t monoNs) const { return (wall + (monoNs - mono)) / 1e9; }
  int64_t mono, wall;
};

struct Mark {
  int64_t frame = 0;    // camera frame number
  double picture = 0;   // where that frame is in the finished movie, seconds
  double sound = 0;     // where the tone begins in the finished movie, seconds
  double expected = 0;  // tone heard minus frame captured, seconds (ideally 0)
  double written = 0;   // tone handed to the server minus frame captured, seconds
  double error() const { return sound - picture - expected; }
};

struct SyncRun {
  std::vector<Mark> marks;
  double startEpochError = NAN;  // start_epoch minus the first recorded frame's capture
  double offset = NAN;
  double firstFrameWait = NAN;  // from its capture to its handling, seconds
  int droppedFrames = 0;        // numbers the movie skips between its first and last frame
  int lostFrames = 0;           // of them, frames the camera did send
  std::string report() const {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(1);
    s << "sound-minus-picture ms:";
    for (const Mark& m : marks) s << ' ' << m.error() * 1000;
    s << " | tone heard after written ms:";
    for (const Mark& m : marks) s << ' ' << (m.expected - m.written) * 1000;
    s << " | start_epoch error ms: " << startEpochError * 1000
      << " (the first frame was handled after " << firstFrameWait * 1000 << ")";
    s.precision(3);
    s << " | offset s: " << offset << " | frames missing from the movie: " << droppedFrames
      << " (sent by the camera: " << lostFrames << ")";
    return s.str();
  }
};

class SyncE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/sync_e2e.XXXXXX";
    dir = ::mkdtemp(tmpl);
  }
  void TearDown() override {
    // A failed run keeps its movie, sound and logs for a look.
    if (HasFailure())
      std::printf("files of the failed run kept in %s\n", dir.c_str());
    else
      fs::remove_all(dir);
  }

  // What a recording runs on: the camera program with its environment, the file where its
  // camera logs each frame's capture moment, and the sound server.
  struct Rig {
    std::vector<std::string> camera;
    std::map<std::string, std::string> cameraEnv;
    fs::path frameLog;
    std::string soundServer;
  };
  // talvex-lumipose-testcam playing a camera that draws its frame numbers.
  Rig playedCamera(const testing::TestSoundServer& sound) const {
    const fs::path log = dir / "camera.log";
    return {{testing::buildPath("talvex-lumipose-testcam"), "live", (dir / "preview.jpg").string()},
            {{"TALVEX_TEST_CAMERA", testing::frame_code::ffmpegGraph(kFps)},
             {"TALVEX_TEST_CAMERA_LOG", log.string()}},
            log,
            sound.server()};
  }

  // One recording, as the parent makes it; fills `run`.
  void record(const Rig& rig, SyncRun& run);
  void expectInSync(const SyncRun& run, const char* scenario);
  // One recording on `rig`, whose marks must then be in sync; `scenario` names it in the log.
  void expectRecordingInSync(const Rig& rig, const char* scenario) {
    SyncRun run;
    record(rig, run);
    if (!HasFatalFailure()) expectInSync(run, scenario);
  }
  // The same with the played camera, against a fresh sound server of `kind`.
  void expectPlayedCameraInSync(testing::ServerKind kind, bool busy, const char* scenario) {
    testing::TestSoundServer sound(kind, {.withSink = true, .busy = busy});
    ASSERT_TRUE(sound.ready()) << "the sound server did not start";
    expectRecordingInSync(playedCamera(sound), scenario);
  }

  fs::path dir;
};

void SyncE2E::record(const Rig& rig, SyncRun& run) {
  const fs::path movie = dir / "rec.mov", frames = dir / "rec.jsonl", wav = dir / "sys.wav",
                 out = dir / "out.mov";
  RunningProgram camera(rig.camera, rig.cameraEnv);
  ASSERT_TRUE(camera.waitForLine("STARTED", 60s)) << camera.errSoFar();
  RunningProgram looptap({testing::buildPath("talvex-looptap"), wav.string()},
                         {{"PULSE_SERVER", rig.soundServer}});
  looptap.closeInput();
  ASSERT_TRUE(looptap.waitForLine("STARTED", 30s)) << looptap.errSoFar();
  // The parent notes the moment it reads the line.
  const double tapStarted = wallNs() / 1e9;

  camera.write("REC " + movie.string() + "\t" + frames.string() + "\n");
  ASSERT_TRUE(camera.waitForLine("REC:started", 30s)) << camera.errSoFar();

  // The camera's first frame is its frame 0; every later one lies on its 1/30 s grid.
  const auto log = testing::fileLines(rig.frameLog);
  ASSERT_FALSE(log.empty());
  const int64_t origin = std::stoll(log[0]) * 1000;
  const int64_t first = testing::monotonicNs() + 1'000'000'000;
  std::vector<int64_t> markFrames;
  for (double s : kMarks) {
    const int64_t at = first + static_cast<int64_t>(s * 1e9) - origin;
    markFrames.push_back((at * kFps + 999'999'999) / 1'000'000'000);
  }
  std::vector<std::optional<testing::Beep>> beeps;
  testing::BeepPlayer player(rig.soundServer);
  for (int64_t m : markFrames) beeps.push_back(player.playAt(origin + frameMicros(m) * 1000));
  std::this_thread::sleep_for(1s);

  camera.write("STOP\n");
  ASSERT_TRUE(camera.waitForLine("REC:stopped:", 30s, true)) << camera.errSoFar();
  looptap.signal(SIGTERM);
  auto tapEnd = looptap.wait(30s);
  ASSERT_TRUE(tapEnd);
  ASSERT_EQ(tapEnd->exitStatus, 0) << tapEnd->err;
  camera.write("QUIT\n");
  auto camEnd = camera.wait(30s);
  ASSERT_TRUE(camEnd);
  ASSERT_EQ(camEnd->exitStatus, 0) << camEnd->err;
  for (const auto& b : beeps) ASSERT_TRUE(b) << "the tone player could not play";
  // Every frame the camera gave lies on the grid the marks were placed on; capture moment and,
  // where the log has it, arrival at the frame queue, in microseconds, by capture moment.
  std::map<int64_t, int64_t> arrivals;
  std::set<int64_t> sent;  // frame numbers
  for (const std::string& line : testing::fileLines(rig.frameLog)) {
    long long pts = 0, arrived = -1;
    ASSERT_GE(std::sscanf(line.c_str(), "%lld %lld", &pts, &arrived), 1) << line;
    const int64_t since = pts * 1000 - origin;
    const int64_t n = (since * kFps + 500'000'000) / 1'000'000'000;
    ASSERT_NEAR(since / 1000, frameMicros(n), 1)
        << "the test camera no longer stamps its frames on a 1/" << kFps
        << " s grid from its first frame: " << line;
    if (arrived >= 0) arrivals[pts] = arrived;
    sent.insert(n);
  }

  // The parent's mux.
  const auto epoch = testing::startEpoch(frames);
  ASSERT_TRUE(epoch) << testing::fileText(frames);
  const double startEpoch = *epoch;
  run.offset = tapStarted - startEpoch;
  char offset[64];
  std::snprintf(offset, sizeof offset, "%.6f", run.offset);
  auto muxed = testing::run({testing::buildPath("talvex-lumipose"), "mux", movie.string(),
                             wav.string(), out.string(), offset});
  ASSERT_EQ(muxed.exitStatus, 0) << muxed.err;

  // The picture: every frame's number and place in the finished movie.
  ASSERT_EQ(media::fixtures::openAsset(out.string())->tracks(media::MediaType::Video).size(), 1u);
  const auto video = media::fixtures::readVideo(out.string());
  ASSERT_EQ(video.failure, "");
  std::vector<std::pair<int64_t, double>> shown;  // frame number, movie time
  for (size_t i = 0; i < video.times.size(); ++i) {
    const PlaneView& y = video.images[i].plane(0);
    shown.emplace_back(testing::frame_code::read(y.base, y.bytesPerRow), video.times[i].seconds());
  }
  ASSERT_GE(shown.size(), 30u);
  for (size_t i = 1; i < shown.size(); ++i) {
    ASSERT_GT(shown[i].first, shown[i - 1].first) << "frame numbers out of order at " << i;
    run.droppedFrames += static_cast<int>(shown[i].first - shown[i - 1].first - 1);
    for (int64_t n = shown[i - 1].first + 1; n < shown[i].first; ++n)
      run.lostFrames += sent.count(n);
  }
  // start_epoch against the capture moment of the movie's first frame.
  const ClockMap clocks;
  const int64_t firstCaptured = origin + frameMicros(shown.front().first) * 1000;
  run.startEpochError = startEpoch - clocks.wallSeconds(firstCaptured);
  if (auto a = arrivals.find(firstCaptured / 1000); a != arrivals.end())
    run.firstFrameWait = (a->second - a->first) / 1e6;

  // The sound.
  const auto tones = testing::movieTones(out.string());
  ASSERT_TRUE(tones) << "no sound in the finished movie";
  ASSERT_EQ(tones->at.size(), markFrames.size()) << tones->described << "; offset " << run.offset;

  for (size_t k = 0; k < markFrames.size(); ++k) {
    Mark m;
    m.frame = markFrames[k];
    // The mark's own frame where the movie has it, else its place beside the nearest frame.
    const auto near = std::min_element(shown.begin(), shown.end(), [&](auto& a, auto& b) {
      return std::llabs(a.first - m.frame) < std::llabs(b.first - m.frame);
    });
    m.picture = near->second + (frameMicros(m.frame) - frameMicros(near->first)) / 1e6;
    m.sound = tones->at[k];
    const int64_t captured = origin + frameMicros(m.frame) * 1000;
    m.expected = (beeps[k]->heard - captured) / 1e9;
    m.written = (beeps[k]->written - captured) / 1e9;
    run.marks.push_back(m);
  }
}

void SyncE2E::expectInSync(const SyncRun& run, const char* scenario) {
  // One line per run, for scripts/sync_measure.sh.
  std::printf("sync %s: %s\n", scenario, run.report().c_str());
  std::fflush(stdout);
  ASSERT_EQ(run.marks.size(), std::size(kMarks));
  for (const Mark& m : run.marks)
    EXPECT_NEAR(m.error(), 0, testing::kSyncTolerance)
        << scenario << " frame " << m.frame << ": " << run.report();
  EXPECT_NEAR(run.startEpochError, 0, kEpochTolerance) << run.report();
}

using testing::ServerKind;

// An idle null sink renders far ahead of the clock and delivers nothing for up to 2 s.
TEST_F(SyncE2E, PulseAudioIdleSink) {
  expectPlayedCameraInSync(ServerKind::pulseaudio, false, "pulseaudio-idle");
}

// Another application keeps playing (silence) all along.
TEST_F(SyncE2E, PulseAudioBusySink) {
  expectPlayedCameraInSync(ServerKind::pulseaudio, true, "pulseaudio-busy");
}

// PipeWire with WirePlumber and pipewire-pulse, as on current desktops; nothing else playing.
TEST_F(SyncE2E, PipeWire) { expectPlayedCameraInSync(ServerKind::pipewire, false, "pipewire"); }

// The desktop of today: the camera is a node of the session's PipeWire, which the shipped
// program reads, and the sound goes through the same PipeWire's PulseAudio server.
TEST_F(SyncE2E, PipeWireCameraAndSound) {
  const fs::path log = dir / "camera.log";
  testing::PipewireCameraGraph graph(testing::PipewireCameraGraph::Camera::CodedClient,
                                     log.string());
  ASSERT_TRUE(graph.ready()) << "the private PipeWire did not start";
  expectRecordingInSync(
      {{testing::buildPath("talvex-lumipose"), "live", (dir / "preview.jpg").string()},
       graph.env(),
       log,
       graph.pulseServer()},
      "pipewire-camera");
}

}  // namespace
}  // namespace talvex
