// The camera through PipeWire: a video stream from one camera node. PipeWire lets several
// programs take frames from one camera at once, and is the only way to the cameras that
// libcamera drives. Buffers are mapped by the library, copied out and given back at once, and
// converted like V4L2 frames on the capture thread, which iterates the connection's loop.
#include "platform/media/camera/pipewire_camera.h"

#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/param.h>
#include <spa/pod/builder.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/media/camera/capture_frame.h"
#include "platform/media/camera/capturing_camera.h"
#include "platform/media/camera/frame_liveness.h"
#include "platform/media/camera/frame_pacer.h"
#include "platform/media/camera/pipewire_buffer_view.h"
#include "platform/media/camera/pipewire_cameras.h"
#include "platform/media/camera/pipewire_connection.h"
#include "platform/media/camera/pipewire_format.h"
#include "platform/media/live_format.h"

namespace talvex::media {
namespace {

// A node that has neither started nor failed by then is left to the first-frame limit: some
// cameras take seconds to start, and the session's frame queue waits while we do.
constexpr std::chrono::milliseconds kStartLimit{2000};
// A capture timestamp further from the monotonic clock than this is on another clock.
constexpr int64_t kAheadLimitUs = 1000000;
constexpr int64_t kBehindLimitUs = 10000000;
// Frames copied out and waiting for the conversion: as many as a V4L2 camera's kernel queue
// holds, so that a capture thread the machine keeps from running for a moment loses no frame
// here either. Past that the oldest goes.
constexpr size_t kPendingFrames = 4;

int64_t monotonicMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct PwSourceDeleter {
  pw_loop* loop = nullptr;
  void operator()(spa_source* source) const { pw_loop_destroy_source(loop, source); }
};

// Lifecycle: made and connected by openPipewireCamera() (connectStream), start() spawns the
// capture thread, stop() wakes and joins it; destruction ends the stream, then the connection.
// Threading: the stream's and registry's events run on whichever thread iterates the
// connection's loop: the opening thread until open returns, then the capture thread only. A
// frame goes from the stream's buffer to the conversion through a short queue of copies,
// guarded so that the copying may move to PipeWire's data thread.
class PipewireCamera : public CapturingCamera {
 public:
  PipewireCamera(PipewireConnection& connection, const PipewireCameraNode& node)
      : connection_(connection),
        nodeId_(node.id),
        serial_(node.serial),
        mode_(*node.mode),
        liveness_(monotonicMicros()) {
    streamEvents_.version = PW_VERSION_STREAM_EVENTS;
    streamEvents_.state_changed = &PipewireCamera::onStateChanged;
    streamEvents_.param_changed = &PipewireCamera::onParamChanged;
    streamEvents_.process = &PipewireCamera::onProcess;
    registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents_.global_remove = &PipewireCamera::onGlobalRemove;
  }

  ~PipewireCamera() override {
    stop();
    if (stream_) {
      // Out of the graph first: after this no frame can arrive in a half-destroyed camera.
      pw_stream_disconnect(stream_.get());
      spa_hook_remove(&streamListener_);
      stream_.reset();
    }
    if (registry_) spa_hook_remove(&registryListener_);
  }

  void stop() override {
    if (wake_) pw_loop_signal_event(connection_.loop(), wake_.get());
    joinCapture();
  }

  // Takes the connection over once the camera works.
  void adopt(std::unique_ptr<PipewireConnection> connection) { owned_ = std::move(connection); }

  Status connectStream() {
    pw_loop* loop = connection_.loop();
    wake_ = std::unique_ptr<spa_source, PwSourceDeleter>(pw_loop_add_event(
                                                             loop, [](void*, uint64_t) {}, nullptr),
                                                         PwSourceDeleter{loop});
    // The node vanishing (unplugged, its daemon module unloaded) ends the capture.
    registry_.reset(pw_core_get_registry(connection_.core(), PW_VERSION_REGISTRY, 0));
    frameReady_ = std::unique_ptr<spa_source, PwSourceDeleter>(
        pw_loop_add_event(
            loop, [](void* self, uint64_t) { static_cast<PipewireCamera*>(self)->takeFrame(); },
            this),
        PwSourceDeleter{loop});
    if (!wake_ || !frameReady_ || !registry_) return Status::failure(std::strerror(errno));
    pw_registry_add_listener(registry_.get(), &registryListener_, &registryEvents_, this);

    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_APP_NAME, "talvex-lumipose", PW_KEY_TARGET_OBJECT, serial_.c_str(),
        // Another camera is another picture: when this one goes, the session says so.
        PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    stream_.reset(pw_stream_new(connection_.core(), "talvex-lumipose camera", props));
    if (!stream_) return Status::failure(std::strerror(errno));
    pw_stream_add_listener(stream_.get(), &streamListener_, &streamEvents_, this);

    uint8_t memory[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, memory, sizeof memory);
    const spa_pod* format = buildPipewireFormat(&b, mode_);
    const int r = pw_stream_connect(
        stream_.get(), PW_DIRECTION_INPUT, nodeId_,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        &format, 1);
    if (r < 0) return Status::failure(std::strerror(-r));
    const Status started =
        connection_.runUntil([this] { return streaming_ || !error_.empty() || gone_; },
                             std::chrono::steady_clock::now() + kStartLimit);
    if (!error_.empty()) return Status::failure(error_);
    if (gone_) return Status::failure("no-camera");
    // A start that only takes long is the first-frame limit's business; a dead daemon is not.
    if (!started && connection_.failure()) return started;
    return Status::ok();
  }

 private:
  void captureLoop() override {
    {
      // Frames from before the start are not this session's.
      std::lock_guard<std::mutex> lock(slotMutex_);
      while (!pending_.empty()) {
        spare_.push_back(std::move(pending_.front()));
        pending_.pop_front();
      }
      skipped_ = 0;
    }
    running_ = true;
    pw_loop* loop = connection_.loop();
    pw_loop_enter(loop);
    while (!stopping()) {
      pw_loop_iterate(loop, 250);
      if (stopping()) break;
      if (connection_.failure() || gone_ || !error_.empty()) {
        captureEnded(CameraLoss::Gone);
        break;
      }
      if (auto lost = liveness_.verdict(monotonicMicros())) {
        captureEnded(*lost);
        break;
      }
    }
    pw_loop_leave(loop);
  }

  static void onStateChanged(void* self, pw_stream_state, pw_stream_state state,
                             const char* error) {
    auto* c = static_cast<PipewireCamera*>(self);
    if (state == PW_STREAM_STATE_STREAMING) c->streaming_ = true;
    if (state == PW_STREAM_STATE_ERROR)
      c->error_ = error && *error ? error : "the camera failed in PipeWire";
    if (state == PW_STREAM_STATE_UNCONNECTED && c->streaming_) c->gone_ = true;
  }

  static void onGlobalRemove(void* self, uint32_t id) {
    auto* c = static_cast<PipewireCamera*>(self);
    if (id == c->nodeId_) c->gone_ = true;
  }

  static void onParamChanged(void* self, uint32_t id, const spa_pod* param) {
    auto* c = static_cast<PipewireCamera*>(self);
    if (id != SPA_PARAM_Format || !param) return;
    const auto layout = pipewireLayout(param);
    if (!layout) {
      pw_stream_set_error(c->stream_.get(), -EINVAL, "the camera offers no usable pixel format");
      return;
    }
    c->layout_ = *layout;
    c->pacer_ = FramePacer(layout->fps, kLiveFps);
    c->planarI420_ = layout->format == CaptureFormat::I420;
    // Buffers the library maps for us, with the header that carries the capture time.
    uint8_t memory[512];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, memory, sizeof memory);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd) |
                                 (1 << SPA_DATA_DmaBuf))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(c->stream_.get(), params, 2);
  }

  // At every frame: each buffer's picture is copied out and the buffer goes straight back, so
  // that converting (woken for separately) never holds the camera's buffers from the other
  // programs sharing it.
  static void onProcess(void* self) {
    auto* c = static_cast<PipewireCamera*>(self);
    pw_stream* stream = c->stream_.get();
    bool arrived = false;
    while (pw_buffer* b = pw_stream_dequeue_buffer(stream)) {
      c->copyOut(*b->buffer);
      pw_stream_queue_buffer(stream, b);
      arrived = true;
    }
    if (arrived) pw_loop_signal_event(c->connection_.loop(), c->frameReady_.get());
  }

  void copyOut(const spa_buffer& buf) {
    std::lock_guard<std::mutex> lock(slotMutex_);
    Slot slot;
    if (!spare_.empty()) {
      slot = std::move(spare_.back());
      spare_.pop_back();
    }
    slot.arrivedUs = monotonicMicros();
    slot.corrupted = corrupted(buf);
    slot.captureUs = captureMicros(buf, slot.arrivedUs);
    slot.stride = slot.corrupted ? 0 : buf.datas[0].chunk->stride;
    if (!slot.corrupted && !copyPicture(buf, planarI420_.load(), &slot.bytes))
      slot.corrupted = true;
    if (pending_.size() == kPendingFrames) {
      spare_.push_back(std::move(pending_.front()));
      pending_.pop_front();
      ++skipped_;
    }
    pending_.push_back(std::move(slot));
  }

  // The capture moment: the node's stamp (V4L2 and libcamera nodes stamp with the monotonic
  // clock) when it is on that clock, else the moment the buffer reached us.
  static int64_t captureMicros(const spa_buffer& buf, int64_t now) {
    const auto* h = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(&buf, SPA_META_Header, sizeof(spa_meta_header)));
    if (!h || h->pts <= 0) return now;
    const int64_t us = h->pts / 1000;
    return us > now + kAheadLimitUs || us < now - kBehindLimitUs ? now : us;
  }

  static bool corrupted(const spa_buffer& buf) {
    const auto* h = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(&buf, SPA_META_Header, sizeof(spa_meta_header)));
    return (h && (h->flags & SPA_META_HEADER_FLAG_CORRUPTED)) || buf.n_datas == 0 ||
           !buf.datas[0].chunk || (buf.datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
  }

  // The picture's bytes as one block: planes in separate blocks are put behind each other, as
  // a single-block frame holds them. False when the blocks do not add up.
  static bool copyPicture(const spa_buffer& buf, bool i420, std::vector<uint8_t>* out) {
    out->clear();
    const int stride = buf.datas[0].chunk->stride;
    const int chromaStride = i420 ? stride / 2 : stride;
    for (uint32_t i = 0; i < buf.n_datas; ++i) {
      const spa_data& d = buf.datas[i];
      const BufferView view(d);
      if (!view.data() || !d.chunk || (i > 0 && d.chunk->stride != chromaStride)) return false;
      const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
      const uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
      const uint8_t* data = view.data() + offset;
      out->insert(out->end(), data, data + size);
    }
    return true;
  }

  // On the capture thread, woken by onProcess: every frame waiting, oldest first.
  void takeFrame() {
    while (running_ && !stopping() && takeOne()) {
    }
  }

  bool takeOne() {
    int skipped = 0;
    {
      std::lock_guard<std::mutex> lock(slotMutex_);
      if (pending_.empty()) return false;
      spare_.push_back(std::move(frame_));
      frame_ = std::move(pending_.front());
      pending_.pop_front();
      std::swap(skipped, skipped_);
    }
    convertFrame(skipped);
    return true;
  }

  void convertFrame(int skipped) {
    // Frames that found the queue full count as the source's frames that were dropped.
    for (int i = 0; i < skipped; ++i) countSkipped();
    const int64_t now = monotonicMicros();
    liveness_.sawFrame(now);
    // A faster camera's extra frames are passed over on purpose, before they cost anything.
    if (!pacer_.keep(frame_.captureUs)) return liveness_.tried(now, true);
    // A frame that would be dropped anyway is not worth converting.
    if (!queueFree()) return liveness_.tried(now, true);
    if (frame_.corrupted) {
      countDropped();
      return liveness_.tried(now, false);
    }
    const MediaTime pts = MediaTime::make(frame_.captureUs, 1000000);
    if (!pictureWanted() && !liveness_.wantsTry(now)) return deliver(CameraFrame{{}, pts});
    CaptureLayout layout = layout_;
    if (layout.format != CaptureFormat::Mjpeg) layout.bytesPerLine = frame_.stride;
    Result<PixelBuffer> image = converter_.convert(layout, frame_.bytes.data(), frame_.bytes.size(),
                                                   kLiveWidth, kLiveHeight);
    liveness_.tried(now, bool(image));
    if (!image) return countDropped();
    deliver(CameraFrame{std::move(image.value()), pts});
  }

  // A frame copied out of PipeWire's buffer, waiting for the conversion.
  struct Slot {
    bool corrupted = false;
    int64_t arrivedUs = 0, captureUs = 0;
    int stride = 0;
    std::vector<uint8_t> bytes;
  };

  // Declared first, so that it outlives everything below that talks through it.
  std::unique_ptr<PipewireConnection> owned_;
  PipewireConnection& connection_;
  uint32_t nodeId_;
  std::string serial_;
  CaptureMode mode_;
  std::unique_ptr<spa_source, PwSourceDeleter> wake_, frameReady_;
  std::unique_ptr<pw_registry, PwProxyDeleter> registry_;
  std::unique_ptr<pw_stream, PwStreamDeleter> stream_;
  pw_stream_events streamEvents_{};
  pw_registry_events registryEvents_{};
  spa_hook streamListener_{}, registryListener_{};
  // Event state, on the thread that runs the loop.
  bool running_ = false, streaming_ = false, gone_ = false;
  std::string error_;
  CaptureLayout layout_;
  FramePacer pacer_{0, kLiveFps};
  std::atomic<bool> planarI420_{false};  // read where onProcess runs
  CaptureConverter converter_;
  FrameLiveness liveness_;
  std::mutex slotMutex_;
  std::deque<Slot> pending_;  // guarded by slotMutex_, oldest first
  std::vector<Slot> spare_;   // guarded by slotMutex_: copies done with, for their memory
  int skipped_ = 0;           // guarded by slotMutex_: frames that found the queue full
  Slot frame_;                // the capture thread's
};

}  // namespace

Result<std::unique_ptr<Camera>> openPipewireCamera(std::unique_ptr<PipewireConnection>& connection,
                                                   const PipewireCameraNode& node) {
  using R = Result<std::unique_ptr<Camera>>;
  if (!node.readable) return R::failure("no-permission");
  if (!node.mode) return R::failure("the camera offers no usable pixel format");
  auto camera = std::make_unique<PipewireCamera>(*connection, node);
  if (Status s = camera->connectStream(); !s) return R::failure(s.message());
  camera->adopt(std::move(connection));
  return std::unique_ptr<Camera>(std::move(camera));
}

}  // namespace talvex::media
