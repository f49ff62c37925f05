// The capture object against a test capture service: the same start, sample, stop and error
// paths the program runs, fed with synthetic buffers instead of a sound server.
#include "looptap/looptap_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/audio/testing/wav_reader.h"

namespace talvex::looptap {
namespace {

namespace fs = std::filesystem;
using audio::AudioBuffer;
using audio::AudioFormat;
using audio::CaptureStream;
using audio::OutputSink;
using audio::StreamAttempt;

const AudioFormat kStereo{48000, 2};

// What the capture object told the outside, and its clock, which only the test moves.
struct Edge {
  std::mutex m;
  std::vector<std::string> lines;
  std::vector<int> exits;
  TimePoint clock{std::chrono::seconds(5000)};

  ProcessEdge edge() {
    return {[this](std::string_view l) {
              std::lock_guard<std::mutex> g(m);
              lines.emplace_back(l);
            },
            [this](int s) {
              std::lock_guard<std::mutex> g(m);
              exits.push_back(s);
            },
            [this] {
              std::lock_guard<std::mutex> g(m);
              return clock;
            }};
  }
  void advance(Clock::duration d) {
    std::lock_guard<std::mutex> g(m);
    clock += d;
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> g(m);
    return lines;
  }
  int count(const std::string& prefix) {
    int n = 0;
    for (const auto& l : snapshot()) n += l.rfind(prefix, 0) == 0;
    return n;
  }
};

struct FakeStream : CaptureStream {
  Status startResult = Status::ok();
  std::function<void()> onStop;  // runs inside stop(), before it returns
  int stops = 0;
  Status start() override { return startResult; }
  Status stop() override {
    ++stops;
    if (onStop) onStop();
    return Status::failure("stopping failed");  // must not change the outcome
  }
};

struct FakeService : audio::CaptureService {
  Result<audio::ShareableContent> content = audio::ShareableContent{
      {OutputSink{"default_sink", "default_sink.monitor"}, OutputSink{"other", "other.monitor"}}};
  std::optional<std::string> makeFails[2];
  std::optional<std::string> startFails[2];
  std::function<void()> beforeContent;
  std::vector<StreamAttempt> attempts;
  std::vector<std::string> sinksUsed;
  FakeStream* last = nullptr;

  Result<audio::ShareableContent> shareableContent() override {
    if (beforeContent) beforeContent();
    return content;
  }
  Result<std::unique_ptr<CaptureStream>> makeStream(const OutputSink& d,
                                                    const audio::StreamConfiguration& config,
                                                    StreamAttempt attempt,
                                                    audio::CaptureStreamDelegate&,
                                                    SerialQueue& queue) override {
    EXPECT_EQ(config.sampleRate, 48000);
    EXPECT_EQ(config.channels, 2u);
    EXPECT_EQ(queue.label(), "talvex.looptap.audio");
    attempts.push_back(attempt);
    sinksUsed.push_back(d.name);
    const int i = attempt == StreamAttempt::namedMonitor ? 0 : 1;
    if (makeFails[i]) return Status::failure(*makeFails[i]);
    auto s = std::make_unique<FakeStream>();
    if (startFails[i]) s->startResult = Status::failure(*startFails[i]);
    last = s.get();
    return std::unique_ptr<CaptureStream>(std::move(s));
  }
};

class LooptapCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("looptap_capture_test." + std::to_string(::getpid()));
    fs::create_directories(dir_);
    outPath_ = (dir_ / "out.wav").string();
    auto service = std::make_unique<FakeService>();
    service_ = service.get();
    rec_ = std::make_unique<LooptapCapture>(outPath_, std::move(service), edge_.edge());
  }
  void TearDown() override {
    rec_.reset();
    fs::remove_all(dir_);
  }

  // Hands one buffer to the sample path on the audio queue, as the stream does.
  void deliver(std::vector<float> samples, AudioFormat format = kStereo, bool valid = true) {
    rec_->audioQueue().sync([&] {
      AudioBuffer b{valid, format, std::span<float>(samples), std::nullopt};
      rec_->didOutputAudio(b);
    });
  }
  static std::vector<float> constant(size_t frames, float value, uint32_t channels = 2) {
    return std::vector<float>(frames * channels, value);
  }

  fs::path dir_;
  std::string outPath_;
  Edge edge_;
  FakeService* service_ = nullptr;
  std::unique_ptr<LooptapCapture> rec_;
};

TEST_F(LooptapCaptureTest, LevelLinesFollowTheFrameCountWithTheCounterResetToZero) {
  // 1024-frame buffers: a line after the 12th, 24th and 36th.
  std::vector<int> after;
  for (int i = 1; i <= 40; ++i) {
    const int before = edge_.count("LEVEL:");
    deliver(constant(1024, 0.25f));
    if (edge_.count("LEVEL:") > before) after.push_back(i);
  }
  EXPECT_EQ(after, (std::vector<int>{12, 24, 36}));

  // From 40 × 1024 = 40960 frames, 4 × 1024 = 4096 are past the last line. A 20000-frame
  // buffer gives one line (never two), and then the count starts over at 0, not at 12096.
  deliver(constant(20000, 0.25f));
  EXPECT_EQ(edge_.count("LEVEL:"), 4);
  for (int i = 1; i <= 11; ++i) deliver(constant(1024, 0.25f));
  EXPECT_EQ(edge_.count("LEVEL:"), 4);
  deliver(constant(1024, 0.25f));
  EXPECT_EQ(edge_.count("LEVEL:"), 5);

  // Buffers of 12000 frames or more: a line after each.
  for (int i = 0; i < 3; ++i) deliver(constant(12000, 0.25f));
  EXPECT_EQ(edge_.count("LEVEL:"), 8);
}

TEST_F(LooptapCaptureTest, LevelIsThePeakOfTheBufferThatReachedTheCount) {
  auto levelAfter = [&](std::vector<float> samples) {
    deliver(std::move(samples));
    return edge_.snapshot().back();
  };
  // A loud buffer before the one that crosses the threshold does not count.
  deliver(constant(6000, 0.9f));
  std::vector<float> b = constant(6000, 0.0f);
  b[7] = -0.125f;  // right channel, negative
  EXPECT_EQ(levelAfter(b), "LEVEL:0.125");

  b = constant(12000, 0.1f);
  b[100] = 1.5f;
  EXPECT_EQ(levelAfter(b), "LEVEL:1.000");

  b = constant(12000, 0.0f);
  EXPECT_EQ(levelAfter(b), "LEVEL:0.000");

  b = constant(12000, 0.25f);
  b[3] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(levelAfter(b), "LEVEL:0.250");
}

TEST_F(LooptapCaptureTest, PausedAudioIsDigitalSilenceAndStillCounted) {
  deliver(constant(12000, 0.5f));
  rec_->setPaused(true);
  deliver(constant(12000, 0.5f));
  deliver(constant(12000, -0.75f));
  rec_->setPaused(false);
  deliver(constant(12000, 0.25f));
  EXPECT_EQ(edge_.snapshot(),
            (std::vector<std::string>{"LEVEL:0.500", "LEVEL:0.000", "LEVEL:0.000", "LEVEL:0.250"}));
  ASSERT_TRUE(rec_->stop());
  EXPECT_EQ(edge_.snapshot().back(), "STOPPED:48000");

  auto wav = audio::readWav(outPath_);
  ASSERT_TRUE(wav) << wav.message();
  ASSERT_EQ(wav->frames, 48000);
  auto stretch = [&](int64_t from, int64_t to) {
    return std::vector<int16_t>(wav->samples.begin() + from * 2, wav->samples.begin() + to * 2);
  };
  for (int16_t s : stretch(0, 12000)) ASSERT_NEAR(s, 16384, 1);
  for (int16_t s : stretch(12000, 36000)) ASSERT_EQ(s, 0);
  for (int16_t s : stretch(36000, 48000)) ASSERT_NEAR(s, 8192, 1);
}

TEST_F(LooptapCaptureTest, FileComesWithTheFirstUsableBufferInItsFormat) {
  deliver(constant(480, 0.5f), kStereo, /*valid=*/false);
  rec_->audioQueue().sync([&] {
    std::vector<float> s = constant(480, 0.5f);
    AudioBuffer noFormat{true, std::nullopt, std::span<float>(s), std::nullopt};
    rec_->didOutputAudio(noFormat);
    AudioBuffer torn{true, kStereo, std::span<float>(s.data(), 5), std::nullopt};
    rec_->didOutputAudio(torn);
  });
  EXPECT_FALSE(fs::exists(outPath_));

  deliver(constant(441, 0.5f, 1), AudioFormat{44100, 1});
  ASSERT_TRUE(fs::exists(outPath_));
  ASSERT_TRUE(rec_->stop());
  EXPECT_EQ(edge_.snapshot(), (std::vector<std::string>{"STOPPED:441"}));
  auto wav = audio::readWav(outPath_);
  ASSERT_TRUE(wav);
  EXPECT_EQ(wav->sampleRate, 44100);
  EXPECT_EQ(wav->channels, 1);
  EXPECT_TRUE(wav->pcm16);
  EXPECT_EQ(wav->frames, 441);
}

TEST_F(LooptapCaptureTest, StopBeforeAnyAudioLeavesNoFile) {
  ASSERT_TRUE(rec_->stop());
  EXPECT_EQ(edge_.snapshot(), (std::vector<std::string>{"STOPPED:0"}));
  EXPECT_TRUE(edge_.exits.empty());
  // A buffer still on its way after the stop never creates the file.
  deliver(constant(480, 0.5f));
  EXPECT_FALSE(fs::exists(outPath_));
  // A second stop has nothing left to say.
  EXPECT_FALSE(rec_->stop());
  EXPECT_EQ(edge_.snapshot(), (std::vector<std::string>{"STOPPED:0"}));
}

TEST_F(LooptapCaptureTest, UnwritablePathGivesAWriteLinePerBufferAndCountsNothing) {
  rec_ = std::make_unique<LooptapCapture>((dir_ / "missing" / "out.wav").string(),
                                          std::make_unique<FakeService>(), edge_.edge());
  for (int i = 0; i < 3; ++i) deliver(constant(12000, 0.5f));
  auto lines = edge_.snapshot();
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& l : lines) {
    EXPECT_EQ(l.rfind("ERR:write:", 0), 0u) << l;
    EXPECT_GT(l.size(), std::string("ERR:write:").size());
  }
  ASSERT_TRUE(rec_->stop());
  EXPECT_EQ(edge_.snapshot().back(), "STOPPED:0");
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(LooptapCaptureTest, StartUsesTheFirstDisplayAndTheFirstWayWhenItWorks) {
  rec_->start();
  EXPECT_EQ(edge_.snapshot(), (std::vector<std::string>{"STARTED"}));
  EXPECT_EQ(service_->attempts, (std::vector<StreamAttempt>{StreamAttempt::namedMonitor}));
  EXPECT_EQ(service_->sinksUsed, (std::vector<std::string>{"default_sink"}));
  EXPECT_TRUE(edge_.exits.empty());
}

TEST_F(LooptapCaptureTest, FallbackIsSilentAboutTheFirstFailure) {
  service_->startFails[0] = "first start failed";
  rec_->start();
  EXPECT_EQ(edge_.snapshot(), (std::vector<std::string>{"STARTED"}));
  EXPECT_EQ(service_->attempts, (std::vector<StreamAttempt>{StreamAttempt::namedMonitor,
                                                            StreamAttempt::reportedMonitor}));
}

TEST_F(LooptapCaptureTest, StartFailuresEndTheProcessWithTheirCodes) {
  struct Case {
    std::function<void(FakeService&)> setUp;
    std::string line;
    int status;
  } cases[] = {
      {[](FakeService& s) { s.content = Status::failure("Connection refused"); },
       "ERR:no-permission", 3},
      {[](FakeService& s) { s.content = audio::ShareableContent{}; }, "ERR:no-display", 4},
      {[](FakeService& s) {
         s.makeFails[0] = "first make";
         s.makeFails[1] = "No such entity";
       },
       "ERR:No such entity", 5},
      {[](FakeService& s) {
         s.startFails[0] = "first start";
         s.startFails[1] = "Timeout";
       },
       "ERR:Timeout", 5},
  };
  for (const auto& c : cases) {
    Edge edge;
    auto service = std::make_unique<FakeService>();
    c.setUp(*service);
    LooptapCapture rec(outPath_, std::move(service), edge.edge());
    rec.start();
    EXPECT_EQ(edge.snapshot(), (std::vector<std::string>{c.line}));
    EXPECT_EQ(edge.exits, (std::vector<int>{c.status}));
    // The process is ending: a stop signal now must not add a second outcome.
    EXPECT_FALSE(rec.stop());
    EXPECT_EQ(edge.snapshot().size(), 1u);
  }
}

TEST_F(LooptapCaptureTest, StopStopsTheStreamFirstAndCountsBuffersStillInFlight) {
  rec_->start();
  ASSERT_NE(service_->last, nullptr);
  deliver(constant(4800, 0.5f));
  // Buffers the stream posted just before it stopped are written before the file closes.
  service_->last->onStop = [this] {
    for (int i = 0; i < 5; ++i)
      rec_->audioQueue().async([this] {
        std::vector<float> s = constant(480, 0.5f);
        AudioBuffer b{true, kStereo, std::span<float>(s), std::nullopt};
        rec_->didOutputAudio(b);
      });
  };
  ASSERT_TRUE(rec_->stop());
  service_->last->onStop = nullptr;
  EXPECT_EQ(service_->last->stops, 1);
  EXPECT_EQ(edge_.snapshot().back(), "STOPPED:7200");
  auto wav = audio::readWav(outPath_);
  ASSERT_TRUE(wav);
  EXPECT_EQ(wav->frames, 7200);
  EXPECT_FALSE(rec_->stop());
  EXPECT_EQ(service_->last->stops, 1);
  EXPECT_EQ(edge_.count("STOPPED:"), 1);
}

TEST_F(LooptapCaptureTest, StreamErrorEndsWithCodeSixAndAFinishedFile) {
  rec_->start();
  deliver(constant(9600, 0.5f));
  std::thread serviceThread([this] { rec_->didStopWithError("Connection terminated"); });
  serviceThread.join();
  EXPECT_EQ(edge_.snapshot(),
            (std::vector<std::string>{"STARTED", "ERR:stopped:Connection terminated"}));
  EXPECT_EQ(edge_.exits, (std::vector<int>{6}));
  auto wav = audio::readWav(outPath_);
  ASSERT_TRUE(wav);
  EXPECT_EQ(wav->frames, 9600);
  // No second outcome: neither a stop nor a repeated error speaks again.
  EXPECT_FALSE(rec_->stop());
  rec_->didStopWithError("again");
  EXPECT_EQ(edge_.snapshot().size(), 2u);
  EXPECT_EQ(edge_.exits.size(), 1u);
}

TEST_F(LooptapCaptureTest, StopDuringStartWinsAndTheStartStaysQuiet) {
  // Whether the start then succeeds or fails, the stop's line is the only outcome.
  for (bool startFails : {false, true}) {
    SCOPED_TRACE(startFails);
    Edge edge;
    auto service = std::make_unique<FakeService>();
    if (startFails) service->content = Status::failure("Connection refused");
    Semaphore inContent{0}, release{0};
    service->beforeContent = [&] {
      inContent.release();
      release.acquire();
    };
    LooptapCapture rec(outPath_, std::move(service), edge.edge());
    std::thread starter([&] { rec.start(); });
    inContent.acquire();
    ASSERT_TRUE(rec.stop());
    release.release();
    starter.join();
    EXPECT_EQ(edge.snapshot(), (std::vector<std::string>{"STOPPED:0"}));
    EXPECT_TRUE(edge.exits.empty());
    // A stream that starts after the stop may still deliver: it must not create the file.
    rec.audioQueue().sync([&] {
      std::vector<float> s = constant(480, 0.5f);
      AudioBuffer b{true, kStereo, std::span<float>(s), std::nullopt};
      rec.didOutputAudio(b);
    });
    EXPECT_FALSE(fs::exists(outPath_));
  }
}

// Buffers that carry the moment they sounded are placed on the clock from "STARTED": a stretch
// the server never delivered is silence, and a stop fills the file up to its own moment, even
// when nothing was delivered at all (a parent that muxes needs a file as long as the take).
TEST_F(LooptapCaptureTest, TimedBuffersKeepTheirPlaceAndAStopFillsUpToItsMoment) {
  rec_->start();
  const TimePoint origin = edge_.clock;
  auto deliverAt = [&](double soundedSecs, float value) {
    std::vector<float> s = constant(4800, value);  // 100 ms
    rec_->audioQueue().sync([&] {
      AudioBuffer b{true, kStereo, std::span<float>(s),
                    origin + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(soundedSecs))};
      rec_->didOutputAudio(b);
    });
  };
  // The server delivers nothing for 0.4 s, then 0.2 s of sound.
  edge_.advance(std::chrono::milliseconds(500));
  deliverAt(0.4, 0.5f);
  deliverAt(0.5, 0.25f);
  edge_.advance(std::chrono::seconds(1));
  ASSERT_TRUE(rec_->stop());
  EXPECT_EQ(edge_.snapshot().back(), "STOPPED:72000");
  auto wav = audio::readWav(outPath_);
  ASSERT_TRUE(wav);
  ASSERT_EQ(wav->frames, 72000);
  EXPECT_EQ(wav->samples[2 * 19199], 0);
  EXPECT_NEAR(wav->samples[2 * 19200], 16384, 1);
  EXPECT_NEAR(wav->samples[2 * 24000], 8192, 1);
  EXPECT_EQ(wav->samples[2 * 28800], 0);

  // Nothing delivered at all: the file is the stretch's silence.
  Edge edge;
  LooptapCapture quiet(outPath_ + ".2", std::make_unique<FakeService>(), edge.edge());
  quiet.start();
  edge.advance(std::chrono::milliseconds(250));
  ASSERT_TRUE(quiet.stop());
  EXPECT_EQ(edge.snapshot(), (std::vector<std::string>{"STARTED", "LEVEL:0.000", "STOPPED:12000"}));
  auto silent = audio::readWav(outPath_ + ".2");
  ASSERT_TRUE(silent);
  EXPECT_EQ(silent->frames, 12000);
}

// The server falls behind for 800 ms and then catches up: the silence written meanwhile comes
// out of the file again, the audio after it is written again in its place, and the level lines
// keep to one per 12000 frames of the file.
TEST_F(LooptapCaptureTest, AudioThatWasOnlyLateIsRewrittenInPlaceWithOneLevelLinePerCount) {
  rec_->start();
  const TimePoint origin = edge_.clock;
  auto at = [&](double ms) {
    return origin + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double, std::milli>(ms));
  };
  double arrival = 0;
  for (int i = 0; i < 300; ++i) {
    const double end = i * 10 + 10;
    arrival = std::max(arrival, end + (end > 1000 && end <= 1800 ? 40 : 0));
    std::vector<float> s = constant(480, static_cast<float>(i + 1) / 1000);
    edge_.advance(at(arrival) - edge_.clock);
    rec_->audioQueue().sync([&] {
      AudioBuffer b{true, kStereo, std::span<float>(s), at(arrival - 10)};
      rec_->didOutputAudio(b);
    });
  }
  ASSERT_TRUE(rec_->stop());
  EXPECT_EQ(edge_.snapshot().back(), "STOPPED:144000");
  EXPECT_EQ(edge_.count("LEVEL:"), 144000 / 12000);
  auto wav = audio::readWav(outPath_);
  ASSERT_TRUE(wav);
  ASSERT_EQ(wav->frames, 144000);
  for (int64_t f = 0; f < wav->frames; f += 480)
    ASSERT_NEAR(wav->samples[2 * f], (f / 480 + 1) * 32767.0 / 1000, 1) << "frame " << f;
}

// A disk that stays full fails every buffer: a burst of lines, then one a second.
TEST_F(LooptapCaptureTest, WriteErrorsComeInABurstThenOneASecond) {
  rec_ = std::make_unique<LooptapCapture>((dir_ / "missing" / "out.wav").string(),
                                          std::make_unique<FakeService>(), edge_.edge());
  for (int i = 0; i < 100; ++i) {  // just under a second of 10 ms buffers
    deliver(constant(480, 0.5f));
    edge_.advance(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(edge_.count("ERR:write:"), LooptapCapture::writeErrorBurst);
  for (int i = 0; i < 300; ++i) {
    deliver(constant(480, 0.5f));
    edge_.advance(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(edge_.count("ERR:write:"), LooptapCapture::writeErrorBurst + 3);
}

}  // namespace
}  // namespace talvex::looptap
