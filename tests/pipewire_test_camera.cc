// A test camera for the PipeWire tests: a client whose own video stream is a Video/Source node
// with the role Camera, as a webcam or a libcamera camera appears on a desktop. Never installed.
//
//   pipewire-test-camera [--coded] <node name> [capture log]
//
// It offers YUY2 1280x720 at 30 fps only, drives its own timer (a camera's pace does not
// depend on who reads it) and draws a moving picture, or with --coded each frame's number
// (tests/frame_code.h) on black. Unlike PipeWire 0.3.65's videotestsrc,
// which stops for good once it runs out of buffers (a second consumer joining makes it), a
// frame that finds no free buffer is only skipped: the next tick tries again. Frame n is the
// one captured n/30 s after the first (rounded to the microsecond), and is stamped with that
// moment on the monotonic clock (spa_meta_header.pts), as V4L2 and libcamera nodes stamp; a
// late tick sends the frame of its moment, so the numbers skip where frames were missed. The
// capture log, when named, gets one line per frame sent: `<capture timestamp µs>`.
// Prints "READY <node id>" on standard error once the node is in the graph; runs until
// SIGTERM or SIGINT.
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "tests/frame_code.h"
#include "tests/pipewire_client.h"

namespace talvex::testing {
namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720, kRate = 30;
constexpr uint32_t kStride = kWidth * 2;  // YUY2: two bytes a pixel

struct PwTimerDeleter {
  pw_loop* loop = nullptr;
  void operator()(spa_source* source) const { pw_loop_destroy_source(loop, source); }
};

// Lifecycle: start() connects the stream; the timer runs while the graph streams from us;
// destruction disconnects the stream before the client goes. Threading: everything runs on the
// main loop's thread.
class TestCamera {
 public:
  TestCamera(PwClient& client, const char* name, FILE* log, bool coded)
      : client_(client), log_(log), coded_(coded) {
    events_.version = PW_VERSION_STREAM_EVENTS;
    events_.state_changed = &TestCamera::onStateChanged;
    events_.param_changed = &TestCamera::onParamChanged;
    name_ = name;
  }
  ~TestCamera() {
    if (stream_) pw_stream_disconnect(stream_.get());
  }

  bool start() {
    pw_loop* loop = pw_main_loop_get_loop(client_.loop.get());
    timer_ = std::unique_ptr<spa_source, PwTimerDeleter>(
        pw_loop_add_timer(
            loop, [](void* self, uint64_t) { static_cast<TestCamera*>(self)->sendFrame(); }, this),
        PwTimerDeleter{loop});
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_TYPE, "Video",
        PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME, name_.c_str(), PW_KEY_NODE_DESCRIPTION,
        "Test camera", nullptr);
    stream_.reset(pw_stream_new(client_.core.get(), "test camera", props));
    if (!timer_ || !stream_) return false;
    pw_stream_add_listener(stream_.get(), &listener_, &events_, this);
    uint8_t memory[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, memory, sizeof memory);
    spa_rectangle size{kWidth, kHeight};
    spa_fraction rate{kRate, 1};
    const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(SPA_VIDEO_FORMAT_YUY2), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
    return pw_stream_connect(
               stream_.get(), PW_DIRECTION_OUTPUT, PW_ID_ANY,
               static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
               &format, 1) >= 0;
  }

 private:
  static void onStateChanged(void* self, pw_stream_state, pw_stream_state state,
                             const char* error) {
    auto* c = static_cast<TestCamera*>(self);
    pw_loop* loop = pw_main_loop_get_loop(c->client_.loop.get());
    if (state == PW_STREAM_STATE_ERROR) {
      std::fprintf(stderr, "ERROR %s\n", error ? error : "");
      pw_main_loop_quit(c->client_.loop.get());
    }
    if (state == PW_STREAM_STATE_PAUSED) {
      if (!c->announced_) {
        std::fprintf(stderr, "READY %u\n", pw_stream_get_node_id(c->stream_.get()));
        c->announced_ = true;
      }
      pw_loop_update_timer(loop, c->timer_.get(), nullptr, nullptr, false);
    }
    if (state == PW_STREAM_STATE_STREAMING) {
      timespec first{0, 1};
      timespec interval{0, long(1000000000 / kRate)};
      pw_loop_update_timer(loop, c->timer_.get(), &first, &interval, false);
    }
  }

  static void onParamChanged(void* self, uint32_t id, const spa_pod* param) {
    auto* c = static_cast<TestCamera*>(self);
    if (id != SPA_PARAM_Format || !param) return;
    // Enough buffers that two readers each holding some never leave the camera without one.
    uint8_t memory[512];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, memory, sizeof memory);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(kStride * kHeight), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(kStride)));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(c->stream_.get(), params, 2);
  }

  // One timer tick: one frame, or none when every buffer is still with the readers.
  void sendFrame() {
    pw_buffer* b = pw_stream_dequeue_buffer(stream_.get());
    if (!b) return;
    spa_buffer* buf = b->buffer;
    auto* p = static_cast<uint8_t*>(buf->datas[0].data);
    if (!p || buf->datas[0].maxsize < kStride * kHeight) {
      pw_stream_queue_buffer(stream_.get(), b);
      return;
    }
    const int64_t n = frameDue(), captureUs = origin_ + (n * 1000000 + kRate / 2) / kRate;
    coded_ ? drawCode(p, n) : draw(p, uint64_t(n));
    if (auto* h = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
      h->pts = captureUs * 1000;
      h->flags = 0;
      h->seq = uint64_t(n);
      h->dts_offset = 0;
    }
    buf->datas[0].chunk->offset = 0;
    buf->datas[0].chunk->size = kStride * kHeight;
    buf->datas[0].chunk->stride = kStride;
    buf->datas[0].chunk->flags = 0;
    pw_stream_queue_buffer(stream_.get(), b);
    if (log_) {
      std::fprintf(log_, "%lld\n", static_cast<long long>(captureUs));
      std::fflush(log_);
    }
  }

  // The number of the frame whose moment is nearest now, after the last one sent.
  int64_t frameDue() {
    const int64_t now = monotonicMicros();
    if (origin_ < 0) origin_ = now;
    int64_t n = ((now - origin_) * kRate + 500000) / 1000000;
    if (n <= last_) n = last_ + 1;
    return last_ = n;
  }

  static void drawCode(uint8_t* p, int64_t n) {
    for (uint32_t y = 0; y < kHeight; ++y) {
      uint8_t* row = p + size_t(y) * kStride;
      for (uint32_t x = 0; x < kWidth; ++x) {
        row[2 * x] = frame_code::white(n, int(x), int(y)) ? 235 : 16;
        row[2 * x + 1] = 128;
      }
    }
  }

  // A luma ramp that scrolls and a white square that crosses the picture, on grey chroma
  // (limited range, as cameras give YUY2).
  static void draw(uint8_t* p, uint64_t frame) {
    const uint32_t boxX = uint32_t(frame * 16 % (kWidth - 128));
    for (uint32_t y = 0; y < kHeight; ++y) {
      uint8_t* row = p + size_t(y) * kStride;
      const bool boxRow = y >= 296 && y < 424;
      for (uint32_t x = 0; x < kWidth; ++x) {
        const bool box = boxRow && x >= boxX && x < boxX + 128;
        row[2 * x] = box ? 235 : uint8_t(16 + (x + y + frame * 4) % 200);
        row[2 * x + 1] = 128;
      }
    }
  }

  PwClient& client_;
  FILE* log_;
  std::string name_;
  std::unique_ptr<spa_source, PwTimerDeleter> timer_;
  std::unique_ptr<pw_stream, PwStreamDeleter> stream_;
  pw_stream_events events_{};
  spa_hook listener_{};
  bool coded_;
  bool announced_ = false;
  int64_t origin_ = -1;  // the first frame's moment, µs
  int64_t last_ = -1;    // the number of the last frame sent
};

}  // namespace
}  // namespace talvex::testing

int main(int argc, char** argv) {
  using namespace talvex::testing;
  const bool coded = argc > 1 && std::strcmp(argv[1], "--coded") == 0;
  const int first = coded ? 2 : 1;
  if (argc <= first) {
    std::fprintf(stderr, "usage: pipewire-test-camera [--coded] <node name> [capture log]\n");
    return 2;
  }
  std::unique_ptr<FILE, FileDeleter> log;
  if (argc > first + 1) {
    log.reset(std::fopen(argv[first + 1], "w"));
    if (!log) {
      std::perror(argv[first + 1]);
      return 1;
    }
  }
  blockStopSignals();
  pw_init(&argc, &argv);
  int status = 1;
  {
    PwClient client;
    if (client.connect()) {
      TestCamera camera(client, argv[first], log.get(), coded);
      if (camera.start()) {
        pw_main_loop_run(client.loop.get());
        status = 0;
      }
    }
    if (status != 0) std::fprintf(stderr, "ERROR cannot reach PipeWire: %s\n", strerror(errno));
  }
  pw_deinit();
  return status;
}
