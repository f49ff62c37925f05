// The capture service on PulseAudio (and on PipeWire through pipewire-pulse): the output
// devices are the server's sinks, and a capture stream records a sink's monitor source.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/audio/capture_service.h"
#include "platform/audio/pulse_connection.h"

namespace talvex::audio {
namespace {

constexpr const char* kClientName = "talvex-looptap";

// A record stream on one monitor source. Threading: start() and stop() run on the caller's
// thread and take the loop lock; the libpulse callbacks run on the loop thread with the lock
// held, so `phase_` and `pending_` are only touched under that lock. Buffers are copied out of
// the server's memory (it is only lent until the next drop) and posted to the audio queue.
class PulseCaptureStream : public CaptureStream {
 public:
  PulseCaptureStream(std::shared_ptr<PulseConnection> conn, StreamPtr stream, std::string device,
                     pa_buffer_attr attr, pa_stream_flags_t flags, AudioFormat format,
                     CaptureStreamDelegate& delegate, SerialQueue& audioQueue)
      : conn_(std::move(conn)),
        stream_(std::move(stream)),
        device_(std::move(device)),
        attr_(attr),
        flags_(flags),
        format_(format),
        delegate_(delegate),
        audioQueue_(audioQueue) {
    pa_stream_set_state_callback(stream_.get(), &PulseCaptureStream::onState, this);
    pa_stream_set_read_callback(stream_.get(), &PulseCaptureStream::onRead, this);
  }

  ~PulseCaptureStream() override {
    PulseConnection::Lock lock(*conn_);
    pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
    pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))) pa_stream_disconnect(stream_.get());
    stream_.reset();
  }

  Status start() override {
    PulseConnection::Lock lock(*conn_);
    if (phase_ != Phase::made) return Status::failure("the capture stream was already started");
    phase_ = Phase::starting;
    if (pa_stream_connect_record(stream_.get(), device_.c_str(), &attr_, flags_) < 0) {
      phase_ = Phase::done;
      return Status::failure(conn_->lastError());
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
    return Status::ok();
  }

  Status stop() override {
    PulseConnection::Lock lock(*conn_);
    // From here on neither a buffer nor an error report leaves this stream; what was
    // captured before is handed over first.
    phase_ = Phase::stopping;
    postPending();
    Status result = Status::ok();
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))) {
      if (pa_stream_disconnect(stream_.get()) < 0) {
        // Not sent: nothing will confirm it, and the phase already keeps buffers back.
        result = Status::failure(conn_->lastError());
      } else {
        // The server confirms the removal by moving the stream to TERMINATED; a dying
        // connection moves it to FAILED. Either ends the wait.
        while (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))) conn_->wait();
      }
    }
    phase_ = Phase::done;
    return result;
  }

 private:
  enum class Phase { made, starting, running, stopping, done };

  static void onState(pa_stream* s, void* self) {
    auto* me = static_cast<PulseCaptureStream*>(self);
    me->conn_->signal();
    if (me->phase_ == Phase::running && !PA_STREAM_IS_GOOD(pa_stream_get_state(s))) {
      me->phase_ = Phase::done;
      // What was captured before the end still belongs in the file.
      me->postPending();
      me->delegate_.didStopWithError(me->conn_->lastError());
    }
  }

  static void onRead(pa_stream* s, size_t, void* self) {
    auto* me = static_cast<PulseCaptureStream*>(self);
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
      if (me->phase_ == Phase::starting || me->phase_ == Phase::running) me->deliver(data, bytes);
      pa_stream_drop(s);
    }
  }

  // With the loop lock held. The server pushes whatever its sink rendered, as little as a few
  // frames at a time on a busy sink; collecting a fragment's worth before waking the audio
  // queue keeps the per-buffer cost (a thread hand-over, a file write) at the rate the
  // fragment size asks for. A split frame is carried over rather than shifting the channels.
  void deliver(const void* data, size_t bytes) {
    if (!data) {
      // The server lost this stretch (an overrun): hand over what came before it, then tell
      // the handler there is nothing usable here.
      postPending();
      pending_.clear();
      audioQueue_.async([d = &delegate_, fmt = format_] {
        AudioBuffer lost{false, fmt, {}};
        d->didOutputAudio(lost);
      });
      return;
    }
    const auto* bytesIn = static_cast<const unsigned char*>(data);
    pending_.insert(pending_.end(), bytesIn, bytesIn + bytes);
    if (pending_.size() >= attr_.fragsize) postPending();
  }

  // With the loop lock held: posts the whole frames collected so far.
  void postPending() {
    const size_t frameBytes = sizeof(float) * format_.channels;
    const size_t whole = pending_.size() / frameBytes * frameBytes;
    if (whole == 0) return;
    std::vector<float> samples(whole / sizeof(float));
    std::memcpy(samples.data(), pending_.data(), whole);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
    audioQueue_.async([d = &delegate_, fmt = format_, samples = std::move(samples)]() mutable {
      AudioBuffer buffer{true, fmt, std::span<float>(samples)};
      d->didOutputAudio(buffer);
    });
  }

  std::shared_ptr<PulseConnection> conn_;
  StreamPtr stream_;
  const std::string device_;
  pa_buffer_attr attr_;
  const pa_stream_flags_t flags_;
  const AudioFormat format_;
  CaptureStreamDelegate& delegate_;
  SerialQueue& audioQueue_;
  Phase phase_ = Phase::made;
  std::vector<unsigned char> pending_;
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
      std::vector<Display> sinks;
      PulseConnection* conn;
    } listing{{}, {}, conn_.get()};

    PulseConnection::Lock lock(*conn_);
    OperationPtr info(pa_context_get_server_info(
        conn_->context(),
        [](pa_context*, const pa_server_info* i, void* l) {
          auto* listing = static_cast<Listing*>(l);
          if (i && i->default_sink_name) listing->defaultSink = i->default_sink_name;
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
    pa_channel_map map;
    pa_channel_map_init_auto(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);

    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(config.fragmentSeconds * 1e6), &sampleFormat));
    // A capture bound to one device must end with it rather than silently follow another.
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
    StreamPtr stream(pa_stream_new(conn_->context(), "system audio", &sampleFormat, &map));
    if (!stream) return Status::failure(conn_->lastError());
    return std::unique_ptr<CaptureStream>(std::make_unique<PulseCaptureStream>(
        conn_, std::move(stream), std::move(device), attr, flags,
        AudioFormat{static_cast<double>(sampleFormat.rate), sampleFormat.channels}, delegate,
        audioQueue));
  }

 private:
  std::shared_ptr<PulseConnection> conn_;
};

}  // namespace

std::unique_ptr<CaptureService> makeSoundServerCaptureService() {
  return std::make_unique<PulseCaptureService>();
}

}  // namespace talvex::audio
