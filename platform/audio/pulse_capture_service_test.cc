// The capture service against a real sound server: the private PulseAudio daemon that
// scripts/run_tests.sh starts (null sink "ci_sink", default). Without it these tests fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/capture_service.h"

namespace talvex::audio {
namespace {

using namespace std::chrono_literals;

bool haveServer() { return std::getenv("PULSE_SERVER") != nullptr; }
#define REQUIRE_SERVER()                                                         \
  ASSERT_TRUE(haveServer()) << "PULSE_SERVER is not set: run the tests through " \
                               "scripts/run_tests.sh"

class Recorder : public CaptureStreamDelegate {
 public:
  explicit Recorder(SerialQueue& queue) : queue_(queue) {}
  void didOutputAudio(AudioBuffer& b) override {
    onQueue_ = onQueue_ && queue_.isCurrent();
    if (!b.valid) return;
    sizes_.push_back(b.frameLength());
    if (b.format) format_ = *b.format;
    ++count_;
  }
  void didStopWithError(const std::string& d) override {
    std::lock_guard<std::mutex> l(m_);
    errors_.push_back(d);
  }

  SerialQueue& queue_;
  std::atomic<int> count_{0};
  // Written on the audio queue only; read after a sync with it.
  bool onQueue_ = true;
  std::vector<uint32_t> sizes_;
  AudioFormat format_;
  std::mutex m_;
  std::vector<std::string> errors_;
};

TEST(PulseCaptureService, ListsTheDefaultSinkFirst) {
  REQUIRE_SERVER();
  auto service = makeSoundServerCaptureService();
  auto content = service->shareableContent();
  ASSERT_TRUE(content) << content.message();
  ASSERT_FALSE(content->sinks.empty());
  EXPECT_EQ(content->sinks[0].name, "ci_sink");
  EXPECT_EQ(content->sinks[0].monitorSource, "ci_sink.monitor");
}

TEST(PulseCaptureService, BothWaysOfOpeningDeliverSmallBuffersOnTheQueueUntilStopped) {
  REQUIRE_SERVER();
  for (StreamAttempt attempt : {StreamAttempt::namedMonitor, StreamAttempt::reportedMonitor}) {
    SCOPED_TRACE(attempt == StreamAttempt::namedMonitor ? "named" : "reported");
    auto service = makeSoundServerCaptureService();
    auto content = service->shareableContent();
    ASSERT_TRUE(content) << content.message();
    SerialQueue queue("audio_test.audio");
    Recorder rec(queue);
    auto stream =
        service->makeStream(content->sinks[0], StreamConfiguration{}, attempt, rec, queue);
    ASSERT_TRUE(stream) << stream.message();
    ASSERT_TRUE((*stream)->start());
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (rec.count_ < 20 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    EXPECT_TRUE((*stream)->stop());
    queue.sync([] {});
    const int atStop = rec.count_;
    std::this_thread::sleep_for(200ms);
    queue.sync([] {});
    EXPECT_EQ(rec.count_, atStop) << "a buffer arrived after stop";
    EXPECT_GE(atStop, 20);
    EXPECT_TRUE(rec.onQueue_);
    EXPECT_EQ(rec.format_, (AudioFormat{48000, 2}));
    // The fragment size is ours, not the server's default of seconds.
    std::vector<uint32_t> sizes = rec.sizes_;
    std::sort(sizes.begin(), sizes.end());
    ASSERT_FALSE(sizes.empty());
    EXPECT_LE(sizes[sizes.size() / 2], 2400u);
    // ...and small server pushes are collected up to it rather than handed on one by one.
    EXPECT_GE(sizes[sizes.size() / 2], 240u);
    std::lock_guard<std::mutex> l(rec.m_);
    EXPECT_TRUE(rec.errors_.empty());
  }
}

TEST(PulseCaptureService, UnknownMonitorFailsToStart) {
  REQUIRE_SERVER();
  auto service = makeSoundServerCaptureService();
  ASSERT_TRUE(service->shareableContent());
  SerialQueue queue("audio_test.audio");
  Recorder rec(queue);
  auto stream =
      service->makeStream(OutputSink{"no_such_sink", "no_such_sink.monitor"}, StreamConfiguration{},
                          StreamAttempt::reportedMonitor, rec, queue);
  ASSERT_TRUE(stream);
  Status s = (*stream)->start();
  EXPECT_FALSE(s);
  EXPECT_NE(s.message(), "");
}

TEST(PulseCaptureService, UnreachableServerIsAnError) {
  REQUIRE_SERVER();
  std::string saved = std::getenv("PULSE_SERVER");
  ::setenv("PULSE_SERVER", "unix:/nonexistent/talvex/native", 1);
  auto service = makeSoundServerCaptureService();
  auto content = service->shareableContent();
  ::setenv("PULSE_SERVER", saved.c_str(), 1);
  EXPECT_FALSE(content);
  EXPECT_NE(content.message(), "");
}

}  // namespace
}  // namespace talvex::audio
