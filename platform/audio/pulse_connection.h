// A libpulse client connection run by a threaded main loop, and owning handles for libpulse
// objects. Internal to platform/audio: program code never sees these types.
#pragma once

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>

#include "platform/process/result.h"

namespace talvex::audio {

struct StreamUnref {
  void operator()(pa_stream* s) const { pa_stream_unref(s); }
};
struct OperationUnref {
  void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using StreamPtr = std::unique_ptr<pa_stream, StreamUnref>;
using OperationPtr = std::unique_ptr<pa_operation, OperationUnref>;

// The main loop is stopped (its thread joined) before it is freed, so that nothing runs on
// that thread while the objects it serves go away.
struct MainloopFree {
  void operator()(pa_threaded_mainloop* m) const {
    pa_threaded_mainloop_stop(m);
    pa_threaded_mainloop_free(m);
  }
};
struct ContextRelease {
  void operator()(pa_context* c) const {
    pa_context_disconnect(c);
    pa_context_unref(c);
  }
};
using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopFree>;
using ContextPtr = std::unique_ptr<pa_context, ContextRelease>;

// Lifecycle: connect() -> use under lock() -> destruction, which stops the loop thread first
// and then releases the context. Threading: libpulse calls back on the loop thread with the
// loop lock held; every other thread takes the lock (Lock) around libpulse calls. Must not be
// destroyed on the loop thread. Shared (shared_ptr) by the service and the streams it made.
class PulseConnection {
 public:
  // Connects without ever spawning a server and waits until the context is ready.
  static Result<std::shared_ptr<PulseConnection>> connect(const std::string& clientName);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  class Lock {
   public:
    explicit Lock(PulseConnection& c) : loop_(c.loop()) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  pa_threaded_mainloop* loop() const { return loop_.get(); }
  pa_context* context() const { return context_.get(); }
  // The description of the context's last error, e.g. "Connection refused".
  std::string lastError() const;
  // With the lock held: waits until `op` is done. False when the connection died meanwhile.
  bool await(OperationPtr op);
  // With the lock held: sleeps until the loop thread signals (any callback of ours does).
  void wait() { pa_threaded_mainloop_wait(loop()); }
  void signal() { pa_threaded_mainloop_signal(loop(), 0); }

 private:
  PulseConnection() = default;
  // Order matters: the context goes before the loop that serves it.
  MainloopPtr loop_;
  ContextPtr context_;
};

}  // namespace talvex::audio
