// The process's event loops: the main loop and serial work queues (each one thread, joined by
// its owner), plus signal sources that turn a signal into a handler call on the main loop.
// All of them run on Asio underneath; no Asio type appears here.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>

namespace talvex {

using Work = std::function<void()>;

// A counting semaphore created at 0 and waited on without a time limit, the programs' way of
// awaiting asynchronous platform work.
using Semaphore = std::counting_semaphore<>;

// The main event loop. Lifecycle: constructed on the main thread, run() there until stop() or
// until a path ends the process. post() and stop() may be called from any thread.
class MainLoop {
 public:
  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  void post(Work work);
  // Runs posted work and signal handlers until stop(); returns then.
  void run();
  void stop();

 private:
  friend class SignalSource;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Turns one signal into calls of `handler` on `loop`. Construction first sets the signal's
// disposition to ignore, then installs the source, so from then on the signal never ends the
// process by its default action. A signal the calling thread blocks is not set to ignore
// first (that would discard a pending one): a program that blocks its signals before it
// starts threads (`BlockedSignals`) keeps one that came early and gets it once it unblocks.
// Each delivery of the signal calls the handler once on the loop; the source stays armed
// until destroyed. The loop must outlive the source.
class SignalSource {
 public:
  SignalSource(MainLoop& loop, int signo, Work handler);
  ~SignalSource();
  SignalSource(const SignalSource&) = delete;
  SignalSource& operator=(const SignalSource&) = delete;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// Blocks `signals` in the calling thread from construction until unblock() (or destruction),
// so that none of them is lost or acts by its default action while a program sets up its
// signal sources. Made first thing in main, before any thread exists, every thread started
// meanwhile inherits the block and only the calling thread takes the signals afterwards.
class BlockedSignals {
 public:
  explicit BlockedSignals(std::initializer_list<int> signals);
  ~BlockedSignals();
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

  // Pending signals are delivered now, to the sources made meanwhile.
  void unblock();
  const sigset_t& signals() const { return set_; }

 private:
  sigset_t set_;
  bool blocked_ = true;
};

// A serial queue: one thread of its own that runs submitted work one item at a time, in
// submission order. Destruction runs what is already queued, drops work still waiting for its
// delay, then joins the thread; it must not be destroyed from its own thread.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(Work work);
  // Runs `work` on the queue once `delay` has passed (unless the queue goes first).
  void asyncAfter(std::chrono::milliseconds delay, Work work);
  // Runs `work` on the queue and returns when it has run. Must not be called from the queue.
  void sync(const Work& work);
  bool isCurrent() const;
  const std::string& label() const { return label_; }

 private:
  struct Impl;
  std::string label_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvex
