// Another program streaming from a PipeWire camera, as a video call does while talvex records:
// it takes every frame the node named on its command line sends. Never installed.
//
//   pipewire-frame-reader <node name> <log>
//
// The log gets one line per frame received: `<monotonic µs when it arrived> <bytes>`. Prints
// "STREAMING" on standard error once its stream runs, and runs until SIGTERM or SIGINT.
#include <spa/param/video/format-utils.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "tests/pipewire_client.h"

namespace talvex::testing {
namespace {

// Lifecycle: start() connects the stream to the node; destruction disconnects it. Threading:
// everything runs on the main loop's thread.
class FrameReader {
 public:
  FrameReader(PwClient& client, FILE* log) : client_(client), log_(log) {
    events_.version = PW_VERSION_STREAM_EVENTS;
    events_.state_changed = &FrameReader::onStateChanged;
    events_.param_changed = &FrameReader::onParamChanged;
    events_.process = &FrameReader::onProcess;
  }
  ~FrameReader() {
    leaving_ = true;
    if (stream_) pw_stream_disconnect(stream_.get());
  }

  bool start(const char* target) {
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_TARGET_OBJECT, target, PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    stream_.reset(pw_stream_new(client_.core.get(), "frame reader", props));
    if (!stream_) return false;
    pw_stream_add_listener(stream_.get(), &listener_, &events_, this);
    // Any raw picture: what the camera sends is what the other reader asked for.
    uint8_t memory[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, memory, sizeof memory);
    spa_rectangle size{1280, 720}, minSize{1, 1}, maxSize{8192, 8192};
    spa_fraction rate{30, 1}, minRate{0, 1}, maxRate{1000, 1};
    const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_YUY2,
                               SPA_VIDEO_FORMAT_UYVY, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_I420),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)));
    return pw_stream_connect(stream_.get(), PW_DIRECTION_INPUT, PW_ID_ANY,
                             static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                          PW_STREAM_FLAG_MAP_BUFFERS),
                             &format, 1) >= 0;
  }

 private:
  static void onStateChanged(void* self, pw_stream_state, pw_stream_state state,
                             const char* error) {
    auto* r = static_cast<FrameReader*>(self);
    if (state == PW_STREAM_STATE_STREAMING) std::fprintf(stderr, "STREAMING\n");
    // Our own leaving is no end of the camera's.
    if (!r->leaving_ && (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)) {
      std::fprintf(stderr, "ENDED %s\n", error ? error : "");
      pw_main_loop_quit(r->client_.loop.get());
    }
  }

  // Buffers the camera may fill itself (a V4L2 node's own mapped memory) or share as files, as
  // a video call's reader takes them.
  static void onParamChanged(void* self, uint32_t id, const spa_pod* param) {
    auto* r = static_cast<FrameReader*>(self);
    if (id != SPA_PARAM_Format || !param) return;
    uint8_t memory[256];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, memory, sizeof memory);
    const spa_pod* buffers = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd) |
                                 (1 << SPA_DATA_DmaBuf))));
    pw_stream_update_params(r->stream_.get(), &buffers, 1);
  }

  static void onProcess(void* self) {
    auto* r = static_cast<FrameReader*>(self);
    while (pw_buffer* b = pw_stream_dequeue_buffer(r->stream_.get())) {
      const spa_data& d = b->buffer->datas[0];
      std::fprintf(r->log_, "%lld %u\n", static_cast<long long>(monotonicMicros()),
                   d.chunk ? d.chunk->size : 0);
      pw_stream_queue_buffer(r->stream_.get(), b);
    }
    std::fflush(r->log_);
  }

  PwClient& client_;
  FILE* log_;
  std::unique_ptr<pw_stream, PwStreamDeleter> stream_;
  pw_stream_events events_{};
  spa_hook listener_{};
  bool leaving_ = false;
};

}  // namespace
}  // namespace talvex::testing

int main(int argc, char** argv) {
  using namespace talvex::testing;
  if (argc != 3) {
    std::fprintf(stderr, "usage: pipewire-frame-reader <node name> <log>\n");
    return 2;
  }
  std::unique_ptr<FILE, FileDeleter> log(std::fopen(argv[2], "w"));
  if (!log) {
    std::perror(argv[2]);
    return 1;
  }
  blockStopSignals();
  pw_init(&argc, &argv);
  int status = 1;
  {
    PwClient client;
    FrameReader reader(client, log.get());
    if (client.connect() && reader.start(argv[1])) {
      pw_main_loop_run(client.loop.get());
      status = 0;
    } else {
      std::fprintf(stderr, "ERROR cannot reach PipeWire: %s\n", std::strerror(errno));
    }
  }
  pw_deinit();
  return status;
}
