#include "tests/beep_player.h"

#include <pulse/simple.h>
#include <time.h>

#include <cmath>
#include <memory>
#include <vector>

namespace talvex::testing {
namespace {

struct SimpleDeleter {
  void operator()(pa_simple* s) const { pa_simple_free(s); }
};
using SimplePtr = std::unique_ptr<pa_simple, SimpleDeleter>;

void sleepUntil(int64_t monoNs) {
  timespec ts{static_cast<time_t>(monoNs / 1'000'000'000),
              static_cast<long>(monoNs % 1'000'000'000)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
  }
}

// Time to connect and make a stream, well above what it takes on a loaded machine.
constexpr int64_t kConnectAhead = 400'000'000;

}  // namespace

int64_t monotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::optional<Beep> BeepPlayer::playAt(int64_t at) {
  sleepUntil(at - kConnectAhead);
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 2};
  // A short target buffer, and playback starting with the first bytes written, so that the
  // tone plays when it is written, as a low-latency player's would.
  const uint32_t frameBytes = static_cast<uint32_t>(pa_frame_size(&spec));
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = frameBytes * (kRate / 50);  // 20 ms
  attr.prebuf = frameBytes;
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(-1);
  int error = 0;
  SimplePtr stream(pa_simple_new(server_.c_str(), "talvex-sync-test", PA_STREAM_PLAYBACK, nullptr,
                                 "beep", &spec, nullptr, &attr, &error));
  if (!stream) return std::nullopt;

  std::vector<float> tone(static_cast<size_t>(kFrames) * 2);
  for (int i = 0; i < kFrames; ++i) {
    // Cosine: the very first sample is at full amplitude, so the onset is exact to a sample.
    const float v = static_cast<float>(kAmplitude * std::cos(2 * M_PI * kFrequency * i / kRate));
    tone[static_cast<size_t>(i) * 2] = tone[static_cast<size_t>(i) * 2 + 1] = v;
  }
  sleepUntil(at);
  Beep beep;
  beep.written = monotonicNs();
  // The first piece fits the stream's buffer, so it is taken at once; right after it, the
  // stream's latency says when its last sample plays, hence when the tone begins. (Measured at
  // the tone's end instead, a player held up mid-tone by a busy machine would leave a gap and
  // misplace the onset.)
  const size_t headFrames = kRate / 50;
  if (pa_simple_write(stream.get(), tone.data(), headFrames * 2 * sizeof(float), &error) < 0)
    return std::nullopt;
  const int64_t now = monotonicNs();
  const pa_usec_t latency = pa_simple_get_latency(stream.get(), &error);
  if (latency == static_cast<pa_usec_t>(-1)) return std::nullopt;
  beep.heard = now + static_cast<int64_t>(latency) * 1000 -
               static_cast<int64_t>(headFrames) * 1'000'000'000 / kRate;
  if (pa_simple_write(stream.get(), tone.data() + headFrames * 2,
                      (tone.size() - headFrames * 2) * sizeof(float), &error) < 0)
    return std::nullopt;
  pa_simple_drain(stream.get(), &error);
  return beep;
}

}  // namespace talvex::testing
