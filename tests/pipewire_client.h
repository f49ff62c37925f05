// What the PipeWire test clients (tests/pipewire_test_camera.cc, tests/pipewire_frame_reader.cc)
// share: their C handles owned, and the monotonic clock they log on. Never installed.
#pragma once

#include <pipewire/pipewire.h>
#include <signal.h>
#include <time.h>

#include <cstdint>
#include <memory>

namespace talvex::testing {

struct PwMainLoopDeleter {
  void operator()(pw_main_loop* loop) const { pw_main_loop_destroy(loop); }
};
struct PwContextDeleter {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct PwCoreDeleter {
  void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct PwStreamDeleter {
  void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};
struct FileDeleter {
  void operator()(FILE* file) const { std::fclose(file); }
};

inline int64_t monotonicMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// SIGTERM and SIGINT are taken by the main loop (a signal descriptor); blocked in every thread,
// PipeWire's own included, before any starts, so that none of them dies of one.
inline void blockStopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

// A client's connection to the daemon libpipewire finds (PIPEWIRE_RUNTIME_DIR), on a main loop
// that the client runs until SIGTERM/SIGINT. Lifecycle: connect() makes it, destruction ends the
// core before the context and the loop. Threading: one thread, the one that runs the loop.
struct PwClient {
  std::unique_ptr<pw_main_loop, PwMainLoopDeleter> loop;
  std::unique_ptr<pw_context, PwContextDeleter> context;
  std::unique_ptr<pw_core, PwCoreDeleter> core;

  bool connect() {
    loop.reset(pw_main_loop_new(nullptr));
    if (!loop) return false;
    context.reset(pw_context_new(pw_main_loop_get_loop(loop.get()), nullptr, 0));
    if (!context) return false;
    core.reset(pw_context_connect(context.get(), nullptr, 0));
    if (!core) return false;
    pw_loop* l = pw_main_loop_get_loop(loop.get());
    auto quit = [](void* self, int) { pw_main_loop_quit(static_cast<pw_main_loop*>(self)); };
    pw_loop_add_signal(l, SIGTERM, quit, loop.get());
    pw_loop_add_signal(l, SIGINT, quit, loop.get());
    return true;
  }
};

}  // namespace talvex::testing
