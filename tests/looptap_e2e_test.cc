// talvex-looptap run as the parent application runs it: a child process controlled by real
// signals, recording a real sound server. The shared server is the private PulseAudio daemon
// that scripts/run_tests.sh starts (PULSE_SERVER, null sink "ci_sink"); without it the tests
// fail. Cases that need a server without sinks or one that dies start their own daemon.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/audio/wav_reader.h"
#include "tests/child_process.h"
#include "tests/pulse_daemon.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ChildProcess;
using testing::RunResult;

std::string looptapPath() { return testing::buildPath("talvex-looptap"); }

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::vector<float> levelsOf(const std::vector<std::string>& lines) {
  std::vector<float> levels;
  for (const auto& l : lines)
    if (l.rfind("LEVEL:", 0) == 0) levels.push_back(std::stof(l.substr(6)));
  return levels;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class LooptapE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("looptap_e2e." + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // The shared test server; a missing one fails the test, so a broken service shows.
  static std::string sharedServer() {
    const char* s = std::getenv("PULSE_SERVER");
    return s ? s : "";
  }

  // A 1 kHz stereo sine at half of full scale, 32-bit float at the sink's own rate, so the
  // sink passes it through unchanged.
  std::string tone(double secs) {
    std::string out = path("tone.wav");
    RunResult r =
        testing::run({"/usr/bin/sox", "-n", "-r", "48000", "-c", "2", "-e", "floating-point", "-b",
                      "32", out, "synth", std::to_string(secs), "sine", "1000", "vol", "0.5"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return out;
  }

  std::unique_ptr<ChildProcess> looptap(const std::string& out, const std::string& server,
                                        std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{looptapPath(), out};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto child = std::make_unique<ChildProcess>(
        argv, std::map<std::string, std::string>{{"PULSE_SERVER", server}});
    child->closeInput();
    return child;
  }

  fs::path dir_;
};

#define REQUIRE_SHARED_SERVER()                                                       \
  ASSERT_FALSE(sharedServer().empty())                                                \
      << "PULSE_SERVER is not set: the test sound server of scripts/run_tests.sh is " \
         "missing"

TEST_F(LooptapE2E, UsageWithoutAnArgument) {
  RunResult r = testing::run({looptapPath()});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err, "usage: talvex-looptap <output.wav>\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(LooptapE2E, NoServerIsNoPermission) {
  RunResult r = testing::run({looptapPath(), path("a.wav")}, "",
                             {{"PULSE_SERVER", "unix:" + path("no-server")}}, 30s);
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.err, "ERR:no-permission\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(path("a.wav")));
}

TEST_F(LooptapE2E, ServerWithoutOutputsIsNoDisplay) {
  testing::PulseDaemon daemon(/*withSink=*/false);
  ASSERT_TRUE(daemon.ready());
  RunResult r =
      testing::run({looptapPath(), path("a.wav")}, "", {{"PULSE_SERVER", daemon.server()}}, 30s);
  EXPECT_EQ(r.exitStatus, 4);
  EXPECT_EQ(r.err, "ERR:no-display\n");
  EXPECT_FALSE(fs::exists(path("a.wav")));
}

TEST_F(LooptapE2E, StopBeforeAnyAudioReportsZeroAndLeavesNoFile) {
  // A server that takes the connection and never answers keeps the start unfinished.
  const std::string socketPath = path("mute.sock");
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  for (int signo : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signo);
    // Arguments after the first are ignored.
    auto child = looptap(path("never.wav"), "unix:" + socketPath, {"ignored", "args"});
    std::this_thread::sleep_for(300ms);
    child->signal(signo);
    auto r = child->wait(10s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->exitStatus, 0);
    EXPECT_EQ(r->err, "STOPPED:0\n");
    EXPECT_EQ(r->out, "");
    EXPECT_FALSE(fs::exists(path("never.wav")));
  }
  ::close(fd);
}

TEST_F(LooptapE2E, ToneIsInTheFileAtItsLevelAndLength) {
  REQUIRE_SHARED_SERVER();
  const std::string toneFile = tone(2.0);
  auto child = looptap(path("tone-rec.wav"), sharedServer());
  ASSERT_TRUE(child->waitForLine("STARTED", 10s));
  const auto started = Clock::now();
  std::this_thread::sleep_for(300ms);
  RunResult played =
      testing::run({"/usr/bin/paplay", toneFile}, "", {{"PULSE_SERVER", sharedServer()}}, 20s);
  ASSERT_EQ(played.exitStatus, 0) << played.err;
  std::this_thread::sleep_for(400ms);
  const double wall = seconds(Clock::now() - started);
  child->signal(SIGTERM);
  auto r = child->wait(10s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  auto lines = linesOf(r->err);
  ASSERT_FALSE(lines.empty());
  ASSERT_EQ(lines.front(), "STARTED");
  ASSERT_EQ(lines.back().rfind("STOPPED:", 0), 0u) << lines.back();
  const long long frames = std::stoll(lines.back().substr(8));
  EXPECT_NEAR(static_cast<double>(frames), wall * 48000, wall * 48000 * 0.02);

  // About four level lines a second, the loud ones at the tone's peak.
  auto levels = levelsOf(lines);
  EXPECT_NEAR(static_cast<double>(levels.size()), static_cast<double>(frames) / 12000, 1.0);
  EXPECT_GE(std::count_if(levels.begin(), levels.end(),
                          [](float l) { return std::abs(l - 0.5f) < 0.005f; }),
            6);
  EXPECT_LE(*std::max_element(levels.begin(), levels.end()), 0.505f);

  auto wav = audio::readWav(path("tone-rec.wav"));
  ASSERT_TRUE(wav) << wav.message();
  EXPECT_EQ(wav->sampleRate, 48000);
  EXPECT_EQ(wav->channels, 2);
  EXPECT_TRUE(wav->pcm16);
  EXPECT_EQ(wav->frames, frames);
  int peak = 0;
  int64_t firstLoud = -1, lastLoud = -1;
  for (int64_t f = 0; f < wav->frames; ++f) {
    const int a =
        std::max(std::abs(int{wav->samples[f * 2]}), std::abs(int{wav->samples[f * 2 + 1]}));
    peak = std::max(peak, a);
    if (a > 1000) {
      if (firstLoud < 0) firstLoud = f;
      lastLoud = f;
    }
  }
  EXPECT_NEAR(peak, 16384, 164);  // half of full scale, within 1%
  // The whole tone, nothing dropped or doubled.
  EXPECT_NEAR(static_cast<double>(lastLoud - firstLoud), 2.0 * 48000, 0.01 * 2.0 * 48000);
}

TEST_F(LooptapE2E, PauseRecordsExactSilenceWhileFramesKeepGrowing) {
  REQUIRE_SHARED_SERVER();
  const std::string toneFile = tone(4.0);
  auto child = looptap(path("pause.wav"), sharedServer());
  ASSERT_TRUE(child->waitForLine("STARTED", 10s));
  const auto started = Clock::now();
  ChildProcess player({"/usr/bin/paplay", toneFile}, {{"PULSE_SERVER", sharedServer()}});
  std::this_thread::sleep_for(900ms);
  child->signal(SIGUSR1);
  ASSERT_TRUE(child->waitForLine("PAUSED", 5s));
  std::this_thread::sleep_for(1200ms);
  child->signal(SIGUSR2);
  ASSERT_TRUE(child->waitForLine("RESUMED", 5s));
  std::this_thread::sleep_for(900ms);
  const double wall = seconds(Clock::now() - started);
  // A second stop signal during the stop must not add another outcome.
  child->signal(SIGTERM);
  child->signal(SIGTERM);
  child->signal(SIGINT);
  auto r = child->wait(10s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  player.wait(10s);

  auto lines = linesOf(r->err);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("STOPPED:", 0) == 0; }),
            1);
  ASSERT_EQ(lines.back().rfind("STOPPED:", 0), 0u);
  const long long frames = std::stoll(lines.back().substr(8));
  EXPECT_NEAR(static_cast<double>(frames), wall * 48000, wall * 48000 * 0.02);

  auto paused = std::find(lines.begin(), lines.end(), "PAUSED");
  auto resumed = std::find(lines.begin(), lines.end(), "RESUMED");
  ASSERT_LT(paused, resumed);
  auto before = levelsOf({lines.begin(), paused});
  auto during = levelsOf({paused, resumed});
  auto after = levelsOf({resumed, lines.end()});
  ASSERT_GE(during.size(), 3u);
  // A buffer measured just before the flag changed may still report the tone.
  for (size_t i = 1; i < during.size(); ++i) EXPECT_EQ(during[i], 0.0f);
  ASSERT_FALSE(before.empty());
  EXPECT_NEAR(before.back(), 0.5f, 0.01f);
  ASSERT_GE(after.size(), 2u);
  EXPECT_NEAR(after.back(), 0.5f, 0.01f);

  auto wav = audio::readWav(path("pause.wav"));
  ASSERT_TRUE(wav);
  EXPECT_EQ(wav->frames, frames);
  // The longest stretch of frames that are exactly zero is the pause, with the tone on
  // both sides of it.
  int64_t bestStart = 0, bestLen = 0, runStart = 0, runLen = 0;
  for (int64_t f = 0; f < wav->frames; ++f) {
    if (wav->samples[f * 2] == 0 && wav->samples[f * 2 + 1] == 0) {
      if (runLen++ == 0) runStart = f;
      if (runLen > bestLen) bestLen = runLen, bestStart = runStart;
    } else {
      runLen = 0;
    }
  }
  EXPECT_NEAR(static_cast<double>(bestLen), 1.2 * 48000, 0.25 * 48000);
  auto loudNear = [&](int64_t from, int64_t to) {
    int peak = 0;
    for (int64_t f = std::max<int64_t>(from, 0); f < std::min(to, wav->frames); ++f)
      peak = std::max(peak, std::abs(int{wav->samples[f * 2]}));
    return peak;
  };
  EXPECT_GT(loudNear(bestStart - 4800, bestStart), 15000);
  EXPECT_GT(loudNear(bestStart + bestLen, bestStart + bestLen + 4800), 15000);
}

TEST_F(LooptapE2E, UnwritablePathReportsWritesAndStopsAtZero) {
  REQUIRE_SHARED_SERVER();
  const std::string out = path("missing/dir/out.wav");
  auto child = looptap(out, sharedServer());
  ASSERT_TRUE(child->waitForLine("STARTED", 10s));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(child->waitForLine("ERR:write:", 5s, /*prefix=*/true));
  child->signal(SIGTERM);
  auto r = child->wait(10s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 0);
  auto lines = linesOf(r->err);
  EXPECT_EQ(lines.back(), "STOPPED:0");
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind("ERR:write:", 0), 0u) << lines[i];
    EXPECT_GT(lines[i].size(), 10u);
  }
  EXPECT_FALSE(fs::exists(path("missing")));
}

TEST_F(LooptapE2E, SigkillLeavesAReadableFileWithWhatWasCaptured) {
  REQUIRE_SHARED_SERVER();
  const auto spawned = Clock::now();
  auto child = looptap(path("killed.wav"), sharedServer());
  ASSERT_TRUE(child->waitForLine("STARTED", 10s));
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(child->waitForLine("LEVEL:", 5s, /*prefix=*/true));
  child->signal(SIGKILL);
  auto r = child->wait(10s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->termSignal, SIGKILL);
  const double wall = seconds(Clock::now() - spawned);

  auto wav = audio::readWav(path("killed.wav"));
  ASSERT_TRUE(wav) << wav.message();
  EXPECT_EQ(wav->channels, 2);
  EXPECT_EQ(wav->sampleRate, 48000);
  // Four level lines mean at least 4 × 12000 frames were written and counted.
  EXPECT_GE(wav->frames, 4 * 12000);
  EXPECT_LE(static_cast<double>(wav->frames), wall * 48000 * 1.02);
  // The header itself counts all the data on disk, as the last write left it.
  EXPECT_EQ(wav->declaredDataBytes, static_cast<uint64_t>(wav->frames) * 4);
  EXPECT_EQ(wav->dataBytesOnDisk, wav->declaredDataBytes);
}

TEST_F(LooptapE2E, ServerDeathEndsWithStoppedErrorAndAReadableFile) {
  testing::PulseDaemon daemon(/*withSink=*/true);
  ASSERT_TRUE(daemon.ready());
  auto child = looptap(path("died.wav"), daemon.server());
  ASSERT_TRUE(child->waitForLine("STARTED", 10s));
  // A fresh null sink may render ahead for a while before its monitor delivers.
  ASSERT_TRUE(child->waitForLine("LEVEL:", 10s, /*prefix=*/true));
  daemon.kill();
  auto r = child->wait(10s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 6);
  auto lines = linesOf(r->err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("ERR:stopped:", 0), 0u) << lines.back();
  EXPECT_GT(lines.back().size(), std::string("ERR:stopped:").size());
  for (const auto& l : lines) EXPECT_NE(l.rfind("STOPPED:", 0), 0u) << l;
  auto wav = audio::readWav(path("died.wav"));
  ASSERT_TRUE(wav) << wav.message();
  EXPECT_GE(wav->frames, 12000);
}

TEST_F(LooptapE2E, RemovedOutputEndsWithStoppedError) {
  testing::PulseDaemon daemon(/*withSink=*/true);
  ASSERT_TRUE(daemon.ready());
  auto child = looptap(path("removed.wav"), daemon.server());
  ASSERT_TRUE(child->waitForLine("STARTED", 10s));
  ASSERT_TRUE(child->waitForLine("LEVEL:", 10s, /*prefix=*/true));
  // The capture stays with its device instead of following the server to another one.
  ASSERT_TRUE(daemon.pactl({"unload-module", "module-null-sink"}));
  auto r = child->wait(10s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exitStatus, 6);
  auto lines = linesOf(r->err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("ERR:stopped:", 0), 0u) << lines.back();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("ERR:", 0) == 0; }),
            1);
  auto wav = audio::readWav(path("removed.wav"));
  ASSERT_TRUE(wav) << wav.message();
  EXPECT_EQ(wav->declaredDataBytes, static_cast<uint64_t>(wav->frames) * 4);
}

}  // namespace
}  // namespace talvex
