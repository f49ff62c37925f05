// A connection to the session's PipeWire daemon, with its C handles owned. Internal to
// platform/media: only the PipeWire camera's sources include it.
#pragma once

#include <pipewire/pipewire.h>

#include <chrono>
#include <functional>
#include <memory>

#include "platform/process/result.h"

namespace talvex::media {

struct PwLoopDeleter {
  void operator()(pw_loop* loop) const { pw_loop_destroy(loop); }
};
struct PwContextDeleter {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct PwCoreDeleter {
  void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
// Registry, node and port proxies alike.
struct PwProxyDeleter {
  void operator()(void* proxy) const { pw_proxy_destroy(static_cast<pw_proxy*>(proxy)); }
};
struct PwStreamDeleter {
  void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};

using PwDeadline = std::chrono::steady_clock::time_point;

// Lifecycle: connect() gives a working connection (the daemon answered within the time given);
// destruction disconnects. Threading: the connection has no thread of its own: whichever thread
// calls runUntil() runs its events, one thread at a time.
class PipewireConnection {
 public:
  // What the connection is for: looking at the graph, or also streaming from it (which needs
  // one more module loaded).
  enum class Purpose { Look, Stream };
  // Connects to the daemon libpipewire finds for this session. Fails at once when there is
  // none, or when it does not answer by `deadline`; `refusal`, when given, is set to EACCES or
  // EPERM when the daemon refused us (0 otherwise).
  static Result<std::unique_ptr<PipewireConnection>> connect(PwDeadline deadline, Purpose purpose,
                                                             int* refusal = nullptr);
  ~PipewireConnection();
  PipewireConnection(const PipewireConnection&) = delete;
  PipewireConnection& operator=(const PipewireConnection&) = delete;

  pw_loop* loop() const { return loop_.get(); }
  pw_core* core() const { return core_.get(); }
  // Runs events on the calling thread until `done()` holds, the connection fails or `deadline`
  // passes (then a failure).
  Status runUntil(const std::function<bool()>& done, PwDeadline deadline);
  // Waits until the daemon has handled everything asked of it so far.
  Status roundtrip(PwDeadline deadline);
  // The connection's failure as a negative errno (the daemon went away, refused us...); 0
  // while it works.
  int failure() const { return failure_; }

 private:
  PipewireConnection();
  static void onCoreDone(void* self, uint32_t id, int seq);
  static void onCoreError(void* self, uint32_t id, int seq, int res, const char* message);

  // pw_init on construction, pw_deinit on destruction: declared first, so it outlives the rest.
  struct Library {
    Library();
    ~Library();
  } library_;
  std::unique_ptr<pw_loop, PwLoopDeleter> loop_;
  std::unique_ptr<pw_context, PwContextDeleter> context_;
  std::unique_ptr<pw_core, PwCoreDeleter> core_;
  pw_core_events coreEvents_{};
  spa_hook coreListener_{};
  int failure_ = 0;
  int syncSeq_ = -1;
  bool synced_ = false;
};

}  // namespace talvex::media
