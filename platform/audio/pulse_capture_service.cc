// The capture service on PulseAudio (and on PipeWire through pipewire-pulse): the output
// devices are the server's sinks, and a capture stream records a sink's monitor source.
#include <pulse/rtclock.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/audio/capture_service.h"
#include "platform/audio/pulse_connection.h"

namespace talvex::audio {
namespace {

constexpr const char* kClientName = "talvex-looptap";

using SteadyClock = std::chrono::steady_clock;

// How long a stop waits for the server to confirm it. A server that does not answer (frozen,
// or its machine overloaded) must not keep the recording from being closed.
constexpr pa_usec_t kStopWaitUsec = 1500 * PA_USEC_PER_MSEC;
// How often the stream looks for a stall, and after how long without data it reconnects.
constexpr pa_usec_t kWatchEveryUsec = 250 * PA_USEC_PER_MSEC;
constexpr auto kStallAfter = std::chrono::seconds(1);
constexpr auto kMaxRetryEvery = std::chrono::seconds(8);
constexpr int kMaxLostReconnects = 5;

struct TimeEventFree {
  const pa_mainloop_api* api;
  void operator()(pa_time_event* e) const { api->time_free(e); }
};
using TimeEventPtr = std::unique_ptr<pa_time_event, TimeEventFree>;

// A record stream on the monitor of the default output. It follows the user: when the default
// sink changes, or the sink goes away while another is left, or the stream stops delivering
// while the server is still there (PipeWire's session manager gone and back), it connects a
// new record stream to the monitor of the current default sink. The buffers carry the moment
// they sounded, so the sample path can keep the gap in its place.
//
// Threading: start() and stop() run on the caller's thread and take the loop lock; the
// libpulse callbacks run on the loop thread with the lock held, so every member below is only
// touched under that lock. Buffers are copied out of the server's memory (it is only lent
// until the next drop) and posted to the audio queue.
class PulseCaptureStream : public CaptureStream {
 public:
  PulseCaptureStream(std::shared_ptr<PulseConnection> conn, std::string sink, std::string device,
                     bool onPipeWire, pa_buffer_attr attr, pa_stream_flags_t flags,
                     AudioFormat format, CaptureStreamDelegate& delegate, SerialQueue& audioQueue)
      : conn_(std::move(conn)),
        onPipeWire_(onPipeWire),
        device_(std::move(device)),
        sink_(std::move(sink)),
        attr_(attr),
        flags_(flags),
        format_(format),
        delegate_(delegate),
        audioQueue_(audioQueue) {}

  ~PulseCaptureStream() override {
    PulseConnection::Lock lock(*conn_);
    pa_context_set_subscribe_callback(conn_->context(), nullptr, nullptr);
    watch_.reset();
    dropStream();
  }

  Status start() override {
    PulseConnection::Lock lock(*conn_);
    const std::string sink = sink_;
    if (phase_ != Phase::made) return Status::failure("the capture stream was already started");
    phase_ = Phase::starting;
    if (Status made = connectTo(device_); !made) {
      phase_ = Phase::done;
      return made;
    }
    while (true) {
      pa_stream_state_t state = pa_stream_get_state(stream_.get());
      if (state == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(state)) {
        phase_ = Phase::done;
        return Status::failure(conn_->lastError());
      }
      conn_->wait();
    }
    phase_ = Phase::running;
    lastData_ = SteadyClock::now();
    wakeIfIdle(sink);
    // Told of every change of the default sink; a failure here only costs the following.
    pa_context_set_subscribe_callback(conn_->context(), &PulseCaptureStream::onServerEvent, this);
    OperationPtr(pa_context_subscribe(conn_->context(),
                                      static_cast<pa_subscription_mask_t>(
                                          PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK),
                                      nullptr, nullptr));
    const pa_mainloop_api* api = pa_threaded_mainloop_get_api(conn_->loop());
    watchDue_ = SteadyClock::now() + std::chrono::microseconds(kWatchEveryUsec);
    watch_ =
        TimeEventPtr(pa_context_rttime_new(conn_->context(), pa_rtclock_now() + kWatchEveryUsec,
                                           &PulseCaptureStream::onWatch, this),
                     TimeEventFree{api});
    return Status::ok();
  }

  Status stop() override {
    PulseConnection::Lock lock(*conn_);
    // From here on neither a buffer nor an error report leaves this stream; what was
    // captured before is handed over first.
    phase_ = Phase::stopping;
    watch_.reset();
    pa_context_set_subscribe_callback(conn_->context(), nullptr, nullptr);
    postPending();
    Status result = Status::ok();
    if (stream_ && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))) {
      if (pa_stream_disconnect(stream_.get()) < 0) {
        // Not sent: nothing will confirm it, and the phase already keeps buffers back.
        result = Status::failure(conn_->lastError());
      } else {
        // The server confirms the removal by moving the stream to TERMINATED; a dying
        // connection moves it to FAILED. Either ends the wait, and so does a server that
        // does not answer in time.
        bool timedOut = false;
        const pa_mainloop_api* api = pa_threaded_mainloop_get_api(conn_->loop());
        struct Waiter {
          bool* flag;
          PulseConnection* conn;
        } waiter{&timedOut, conn_.get()};
        TimeEventPtr deadline(
            pa_context_rttime_new(
                conn_->context(), pa_rtclock_now() + kStopWaitUsec,
                [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* w) {
                  auto* waiter = static_cast<Waiter*>(w);
                  *waiter->flag = true;
                  waiter->conn->signal();
                },
                &waiter),
            TimeEventFree{api});
        while (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get())) && !timedOut) conn_->wait();
        if (timedOut) result = Status::failure("the sound server did not answer");
      }
    }
    phase_ = Phase::done;
    return result;
  }

 private:
  enum class Phase { made, starting, running, stopping, done };

  // With the lock held: a new record stream on `device`, replacing the current one.
  Status connectTo(const std::string& device) {
    dropStream();
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(std::lround(format_.sampleRate)),
                        static_cast<uint8_t>(format_.channels)};
    pa_channel_map map;
    pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_.reset(pa_stream_new(conn_->context(), "system audio", &spec, &map));
    if (!stream_) return Status::failure(conn_->lastError());
    pa_stream_set_state_callback(stream_.get(), &PulseCaptureStream::onState, this);
    pa_stream_set_read_callback(stream_.get(), &PulseCaptureStream::onRead, this);
    if (pa_stream_connect_record(stream_.get(), device.c_str(), &attr_, flags_) < 0)
      return Status::failure(conn_->lastError());
    device_ = device;
    return Status::ok();
  }

  // With the lock held: disconnects and forgets the current stream, whose callbacks end here.
  void dropStream() {
    if (!stream_) return;
    pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
    pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))) pa_stream_disconnect(stream_.get());
    stream_.reset();
  }

  // With the lock held. A PulseAudio sink that plays nothing renders up to two seconds ahead
  // at the latency it had before this stream asked for less; a sound played meanwhile is
  // rendered after that stretch, seconds late, and the monitor delivers nothing until then.
  // Suspending and resuming the idle sink drops the stretch, and it starts again at the
  // stream's latency. Nothing audible is interrupted: the sink has no input (IDLE). PipeWire
  // does not render ahead and is left alone.
  void wakeIfIdle(const std::string& sink) {
    if (onPipeWire_) return;
    OperationPtr(pa_context_get_sink_info_by_name(
        conn_->context(), sink.c_str(),
        [](pa_context* c, const pa_sink_info* i, int eol, void*) {
          if (eol != 0 || !i || i->state != PA_SINK_IDLE) return;
          OperationPtr(pa_context_suspend_sink_by_name(c, i->name, 1, nullptr, nullptr));
          OperationPtr(pa_context_suspend_sink_by_name(c, i->name, 0, nullptr, nullptr));
        },
        nullptr));
  }

  // With the lock held: asks for the default sink and moves the capture to its monitor when it
  // is another one than now, or always when `evenIfSame` (a stalled or lost stream).
  void followDefault(bool evenIfSame) {
    if (phase_ != Phase::running || lookingUp_) return;
    lookingUp_ = true;
    retryEvenIfSame_ = evenIfSame;
    OperationPtr(
        pa_context_get_server_info(conn_->context(), &PulseCaptureStream::onServerInfo, this));
  }

  static void onServerInfo(pa_context*, const pa_server_info* info, void* self) {
    auto* me = static_cast<PulseCaptureStream*>(self);
    me->lookingUp_ = false;
    if (me->phase_ != Phase::running) return;
    const std::string sink = info && info->default_sink_name ? info->default_sink_name : "";
    const bool lost = !me->stream_ || !PA_STREAM_IS_GOOD(pa_stream_get_state(me->stream_.get()));
    if (sink.empty()) {
      // No output left to follow: the capture has ended.
      if (lost) me->fail();
      return;
    }
    const std::string device = sink + ".monitor";
    if (device == me->device_ && !me->retryEvenIfSame_ && !lost) return;
    // A device that keeps refusing new streams would otherwise be retried at the pace of
    // the server's answers.
    if (lost && ++me->lostWithoutData_ > kMaxLostReconnects) return me->fail();
    me->postPending();
    if (!me->connectTo(device)) return me->fail();
    me->lastData_ = SteadyClock::now();
    me->wakeIfIdle(sink);
  }

  static void onServerEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self) {
    auto* me = static_cast<PulseCaptureStream*>(self);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER || facility == PA_SUBSCRIPTION_EVENT_SINK)
      me->followDefault(false);
  }

  static void onWatch(pa_mainloop_api*, pa_time_event* e, const struct timeval*, void* self) {
    auto* me = static_cast<PulseCaptureStream*>(self);
    if (me->phase_ != Phase::running) return;
    pa_context_rttime_restart(me->conn_->context(), e, pa_rtclock_now() + kWatchEveryUsec);
    const auto now = SteadyClock::now();
    // A late watch means this process did not run (stopped, or starved of the processor):
    // whatever the server sent meanwhile is still unread in the socket, and a new stream now
    // would throw it away. Look again next time.
    const bool late = now - me->watchDue_ > std::chrono::milliseconds(100);
    me->watchDue_ = now + std::chrono::microseconds(kWatchEveryUsec);
    if (late) {
      me->lastData_ = std::max(me->lastData_, now - kStallAfter / 2);
      return;
    }
    // Data waiting to be read is no stall (this process may just have been kept waiting).
    const size_t waiting = me->stream_ ? pa_stream_readable_size(me->stream_.get()) : 0;
    if (waiting > 0 && waiting != static_cast<size_t>(-1)) me->lastData_ = now;
    if (now - me->lastData_ < kStallAfter || now < me->nextRetry_) return;
    // Connected but silent: a new stream is what brings the data back when the graph lost
    // our link. Tried again after 1, 2, 4, 8 s while nothing comes.
    me->nextRetry_ = now + me->retryEvery_;
    me->retryEvery_ = std::min<SteadyClock::duration>(me->retryEvery_ * 2, kMaxRetryEvery);
    me->followDefault(true);
  }

  void fail() {
    phase_ = Phase::done;
    postPending();
    delegate_.didStopWithError(conn_->lastError());
  }

  static void onState(pa_stream* s, void* self) {
    auto* me = static_cast<PulseCaptureStream*>(self);
    me->conn_->signal();
    if (me->phase_ != Phase::running || PA_STREAM_IS_GOOD(pa_stream_get_state(s))) return;
    // What was captured before the end still belongs in the file.
    me->postPending();
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(me->conn_->context()))) return me->fail();
    // The server is still there: the device went away. Follow the default if one is left.
    me->followDefault(true);
  }

  static void onRead(pa_stream* s, size_t, void* self) {
    auto* me = static_cast<PulseCaptureStream*>(self);
    const auto arrived = SteadyClock::now();
    // Everything readable now has sounded by now: the newest byte just now, older ones as
    // much earlier as the data queued behind them lasts (a backlog after this process waited
    // for the processor is spread back over the time it covers).
    const size_t readable = pa_stream_readable_size(s);
    size_t behind = readable == static_cast<size_t>(-1) ? 0 : readable;
    const double bytesPerSecond = me->format_.sampleRate * sizeof(float) * me->format_.channels;
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
      behind -= std::min(behind, bytes);
      const auto endSounded =
          arrived - std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(
                        static_cast<double>(behind) / bytesPerSecond));
      if (me->phase_ == Phase::starting || me->phase_ == Phase::running)
        me->deliver(data, bytes, arrived, endSounded);
      pa_stream_drop(s);
    }
  }

  // With the loop lock held. The server pushes whatever its sink rendered, as little as a few
  // frames at a time on a busy sink; collecting a fragment's worth before waking the audio
  // queue keeps the per-buffer cost (a thread hand-over, a file write) at the rate the
  // fragment size asks for. A split frame is carried over rather than shifting the channels.
  void deliver(const void* data, size_t bytes, SteadyClock::time_point arrived,
               SteadyClock::time_point endSounded) {
    lastData_ = arrived;
    pendingEndSounded_ = endSounded;
    lostWithoutData_ = 0;
    retryEvery_ = std::chrono::seconds(1);
    if (!data) {
      // A stretch the server lost (an overrun): it sounded, so it keeps its length, as
      // silence.
      pending_.insert(pending_.end(), bytes, 0);
    } else {
      const auto* bytesIn = static_cast<const unsigned char*>(data);
      pending_.insert(pending_.end(), bytesIn, bytesIn + bytes);
    }
    if (pending_.size() >= attr_.fragsize) postPending();
  }

  // With the loop lock held: posts the whole frames collected so far, with the moment the
  // first of them sounded: the last one's moment less their length.
  void postPending() {
    const size_t frameBytes = sizeof(float) * format_.channels;
    const size_t whole = pending_.size() / frameBytes * frameBytes;
    if (whole == 0) return;
    std::vector<float> samples(whole / sizeof(float));
    std::memcpy(samples.data(), pending_.data(), whole);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
    const auto sounded =
        pendingEndSounded_ -
        std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(
            static_cast<double>(whole / frameBytes) / format_.sampleRate));
    audioQueue_.async(
        [d = &delegate_, fmt = format_, samples = std::move(samples), sounded]() mutable {
          AudioBuffer buffer{true, fmt, std::span<float>(samples), sounded};
          d->didOutputAudio(buffer);
        });
  }

  std::shared_ptr<PulseConnection> conn_;
  const bool onPipeWire_;
  StreamPtr stream_;
  std::string device_;
  const std::string sink_;
  pa_buffer_attr attr_;
  const pa_stream_flags_t flags_;
  const AudioFormat format_;
  CaptureStreamDelegate& delegate_;
  SerialQueue& audioQueue_;
  Phase phase_ = Phase::made;
  std::vector<unsigned char> pending_;
  TimeEventPtr watch_{nullptr, TimeEventFree{nullptr}};
  bool lookingUp_ = false;
  bool retryEvenIfSame_ = false;
  int lostWithoutData_ = 0;
  SteadyClock::time_point lastData_{}, pendingEndSounded_{}, nextRetry_{}, watchDue_{};
  SteadyClock::duration retryEvery_ = std::chrono::seconds(1);
};

class PulseCaptureService : public CaptureService {
 public:
  ~PulseCaptureService() override = default;

  Result<ShareableContent> shareableContent() override {
    auto conn = PulseConnection::connect(kClientName);
    if (!conn) return conn.status();
    conn_ = *conn;

    struct Listing {
      std::string defaultSink;
      bool onPipeWire = false;
      std::vector<Display> sinks;
      PulseConnection* conn;
    } listing{{}, false, {}, conn_.get()};

    PulseConnection::Lock lock(*conn_);
    OperationPtr info(pa_context_get_server_info(
        conn_->context(),
        [](pa_context*, const pa_server_info* i, void* l) {
          auto* listing = static_cast<Listing*>(l);
          if (i && i->default_sink_name) listing->defaultSink = i->default_sink_name;
          if (i && i->server_name && std::strstr(i->server_name, "PipeWire"))
            listing->onPipeWire = true;
          listing->conn->signal();
        },
        &listing));
    if (!conn_->await(std::move(info))) return Status::failure(conn_->lastError());
    OperationPtr sinks(pa_context_get_sink_info_list(
        conn_->context(),
        [](pa_context*, const pa_sink_info* i, int eol, void* l) {
          auto* listing = static_cast<Listing*>(l);
          if (eol == 0 && i)
            listing->sinks.push_back(
                {i->name ? i->name : "", i->monitor_source_name ? i->monitor_source_name : ""});
          listing->conn->signal();
        },
        &listing));
    if (!conn_->await(std::move(sinks))) return Status::failure(conn_->lastError());

    // The server's order otherwise; the default output is what the user hears.
    std::stable_partition(listing.sinks.begin(), listing.sinks.end(),
                          [&](const Display& d) { return d.name == listing.defaultSink; });
    onPipeWire_ = listing.onPipeWire;
    return ShareableContent{std::move(listing.sinks)};
  }

  Result<std::unique_ptr<CaptureStream>> makeStream(const Display& display,
                                                    const StreamConfiguration& config,
                                                    StreamAttempt attempt,
                                                    CaptureStreamDelegate& delegate,
                                                    SerialQueue& audioQueue) override {
    if (!conn_) return Status::failure("not connected to the sound server");
    if (config.channels == 0 || config.channels > PA_CHANNELS_MAX || config.sampleRate < 1)
      return Status::failure("unsupported capture format");
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE,
                                static_cast<uint32_t>(std::lround(config.sampleRate)),
                                static_cast<uint8_t>(config.channels)};
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(config.fragmentSeconds * 1e6), &sampleFormat));
    // The server never moves the capture on its own (it might pick a microphone); the stream
    // follows the default output itself.
    pa_stream_flags_t flags = PA_STREAM_DONT_MOVE;
    std::string device;
    if (attempt == StreamAttempt::namedMonitor) {
      device = display.name + ".monitor";
      flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_ADJUST_LATENCY);
    } else {
      device = display.monitorSource.empty() ? display.name + ".monitor" : display.monitorSource;
    }

    PulseConnection::Lock lock(*conn_);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(conn_->context())))
      return Status::failure(conn_->lastError());
    return std::unique_ptr<CaptureStream>(std::make_unique<PulseCaptureStream>(
        conn_, display.name, std::move(device), onPipeWire_, attr, flags,
        AudioFormat{static_cast<double>(sampleFormat.rate), sampleFormat.channels}, delegate,
        audioQueue));
  }

 private:
  std::shared_ptr<PulseConnection> conn_;
  bool onPipeWire_ = false;
};

}  // namespace

std::unique_ptr<CaptureService> makeSoundServerCaptureService() {
  return std::make_unique<PulseCaptureService>();
}

}  // namespace talvex::audio
