#include "tests/beep_player.h"

#include <pulse/pulseaudio.h>
#include <sys/time.h>
#include <time.h>

#include <cmath>
#include <memory>
#include <vector>

namespace talvex::testing {
namespace {

constexpr int64_t kNs = 1'000'000'000;

void sleepUntil(int64_t monoNs) {
  timespec ts{static_cast<time_t>(monoNs / kNs), static_cast<long>(monoNs % kNs)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
  }
}

int64_t wallNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNs + ts.tv_nsec;
}

// Time to connect and make a stream, well above what it takes on a loaded machine.
constexpr int64_t kConnectAhead = 400'000'000;

// One client of the server: its main loop thread, context and stream. The loop stops before
// the stream and context go, so nothing runs behind their release.
struct Client {
  Client() : loop(pa_threaded_mainloop_new()) {}
  ~Client() {
    if (!loop) return;
    pa_threaded_mainloop_stop(loop);
    if (stream) {
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
    }
    if (context) {
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    pa_threaded_mainloop_free(loop);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  pa_threaded_mainloop* loop;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
};

// Holds the main loop's lock for a scope.
class Locked {
 public:
  explicit Locked(pa_threaded_mainloop* m) : m_(m) { pa_threaded_mainloop_lock(m_); }
  ~Locked() { pa_threaded_mainloop_unlock(m_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  pa_threaded_mainloop* m_;
};

void signalLoop(void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

// Waits, with the lock held, until `op` is done; false when it failed.
bool await(pa_threaded_mainloop* m, pa_operation* op) {
  if (!op) return false;
  while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(m);
  const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  pa_operation_unref(op);
  return done;
}

}  // namespace

int64_t monotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNs + ts.tv_nsec;
}

std::optional<Beep> BeepPlayer::playAt(int64_t at) {
  sleepUntil(at - kConnectAhead);
  Client client;
  pa_threaded_mainloop* m = client.loop;
  if (!m || pa_threaded_mainloop_start(m) < 0) return std::nullopt;
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 2};
  const size_t frameBytes = pa_frame_size(&spec);
  std::vector<float> tone(static_cast<size_t>(kFrames) * 2);
  for (int i = 0; i < kFrames; ++i) {
    // Cosine: the very first sample is at full amplitude, so the onset is exact to a sample.
    const float v = static_cast<float>(kAmplitude * std::cos(2 * M_PI * kFrequency * i / kRate));
    tone[static_cast<size_t>(i) * 2] = tone[static_cast<size_t>(i) * 2 + 1] = v;
  }
  const uint64_t toneBytes = static_cast<uint64_t>(kFrames) * frameBytes;

  {
    Locked lock(m);
    client.context = pa_context_new(pa_threaded_mainloop_get_api(m), "talvex-sync-test");
    pa_context* context = client.context;
    if (!context) return std::nullopt;
    pa_context_set_state_callback(
        context, [](pa_context*, void* l) { signalLoop(l); }, m);
    if (pa_context_connect(context, server_.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
      return std::nullopt;
    for (pa_context_state_t s; (s = pa_context_get_state(context)) != PA_CONTEXT_READY;) {
      if (!PA_CONTEXT_IS_GOOD(s)) return std::nullopt;
      pa_threaded_mainloop_wait(m);
    }
    client.stream = pa_stream_new(context, "beep", &spec, nullptr);
    if (!client.stream) return std::nullopt;
    pa_stream_set_state_callback(
        client.stream, [](pa_stream*, void* l) { signalLoop(l); }, m);
    // A buffer just longer than the tone, so that the whole tone is handed over at once and
    // plays without a gap however late this thread runs next; playback starts with the first
    // bytes, and the sink is asked for a low latency, as a game's or a call's would.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(toneBytes + frameBytes * (kRate / 50));
    attr.prebuf = static_cast<uint32_t>(frameBytes);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    if (pa_stream_connect_playback(client.stream, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr,
                                   nullptr) < 0)
      return std::nullopt;
    for (pa_stream_state_t s; (s = pa_stream_get_state(client.stream)) != PA_STREAM_READY;) {
      if (!PA_STREAM_IS_GOOD(s)) return std::nullopt;
      pa_threaded_mainloop_wait(m);
    }
  }

  sleepUntil(at);
  Beep beep;
  {
    Locked lock(m);
    beep.written = monotonicNs();
    if (pa_stream_write(client.stream, tone.data(), tone.size() * sizeof(float), nullptr, 0,
                        PA_SEEK_RELATIVE) < 0)
      return std::nullopt;
  }
  // When the tone plays, by the server's own account: from a timing report taken while the
  // server reads the tone, the byte at the read index plays after the sink's latency, so the
  // tone's first byte (index 0 of this fresh stream) plays read-index bytes earlier.
  for (int attempt = 0; attempt < 200 && beep.heard == 0; ++attempt) {
    Locked lock(m);
    if (!await(m, pa_stream_update_timing_info(
                      client.stream, [](pa_stream*, int, void* l) { signalLoop(l); }, m)))
      return std::nullopt;
    const pa_timing_info* t = pa_stream_get_timing_info(client.stream);
    if (!t || t->read_index_corrupt || t->read_index <= 0) {
      pa_threaded_mainloop_unlock(m);
      sleepUntil(monotonicNs() + 2'000'000);
      pa_threaded_mainloop_lock(m);
      continue;
    }
    // A report taken after the whole tone was read cannot say when its start played.
    if (static_cast<uint64_t>(t->read_index) >= toneBytes) return std::nullopt;
    const int64_t stampWall =
        static_cast<int64_t>(t->timestamp.tv_sec) * kNs + t->timestamp.tv_usec * 1000;
    const int64_t monoMinusWall = monotonicNs() - wallNs();
    const int64_t readNs =
        static_cast<int64_t>(t->read_index) / static_cast<int64_t>(frameBytes) * kNs / kRate;
    beep.heard = stampWall + monoMinusWall + static_cast<int64_t>(t->sink_usec) * 1000 - readNs;
  }
  if (beep.heard == 0) return std::nullopt;
  {
    Locked lock(m);
    await(m, pa_stream_drain(
                 client.stream, [](pa_stream*, int, void* l) { signalLoop(l); }, m));
  }
  return beep;
}

}  // namespace talvex::testing
