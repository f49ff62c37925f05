// A stop signal during a drawing: the drawing stops at its next frame and removes what it was
// writing, then the process ends by that signal, as it would have without any of this.
#pragma once

#include <signal.h>

#include <atomic>
#include <stop_token>
#include <thread>

namespace talvex::overlay {

// Lifecycle: constructed first thing in main, before any thread exists, so that every thread
// made later keeps SIGINT, SIGTERM and SIGHUP blocked and only the waiting thread takes them;
// destroyed (the thread joined) at the end of main. Threading: token() and
// endIfInterrupted() from the main thread.
class Interruption {
 public:
  Interruption();
  ~Interruption();
  Interruption(const Interruption&) = delete;
  Interruption& operator=(const Interruption&) = delete;

  // Stop is requested once one of the signals has come.
  std::stop_token token() const { return stop_.get_token(); }
  // When a signal has come: ends the process by it now. Otherwise returns.
  void endIfInterrupted();

 private:
  sigset_t set_;
  std::stop_source stop_;
  std::atomic<int> signal_{0};
  std::jthread waiter_;  // last: it uses the fields above
};

}  // namespace talvex::overlay
