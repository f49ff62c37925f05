// Programs run as child processes by a parent that talks to them the way the talvex programs
// expect to be talked to: control lines on standard input, lines read from standard error and
// output, signals. One thread drives everything: waitForActivity() blocks until a child wrote
// something, ended, or a signal came, and the caller then takes the complete lines.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process/dispatch.h"
#include "platform/process/result.h"
#include "platform/process/unique_fd.h"

namespace talvex {

// How a child ended.
struct ChildEnd {
  int exitCode = -1;  // -1 when a signal ended it
  int signal = 0;     // the signal that ended it, else 0
  // "exit status 3" or "killed by signal 9 (Killed)".
  std::string describe() const;
};

// Splits a byte stream into lines. A line longer than kMaxLine is handed over in pieces of
// that size, so a child that never ends a line cannot make the parent hold unbounded text.
class LineSplitter {
 public:
  static constexpr size_t kMaxLine = 64 * 1024;
  // Appends `bytes`; complete lines (without their line feed, a trailing "\r" removed) go to
  // `lines`.
  void append(std::string_view bytes, std::vector<std::string>& lines);
  // The unterminated rest at the end of the stream, as a last line (if any).
  void finish(std::vector<std::string>& lines);

 private:
  std::string partial_;
};

class ChildProcess {
 public:
  // Starts `argv[0]` (a path) with `argv`, the parent's environment and pipes on its three
  // standard streams. The child starts with every signal at its default action and none
  // blocked (whatever the parent ignores or blocks), in a process group of its own (a Ctrl-C
  // at the terminal reaches the parent only, which decides what its children are told), and
  // is sent SIGTERM should the parent die first. Fails when the program cannot be run.
  static Result<std::unique_ptr<ChildProcess>> start(const std::vector<std::string>& argv);
  // Kills a child that still runs (SIGKILL) and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& program() const { return program_; }

  // Writes `text` to the child's standard input, whole. Fails (EPIPE) once the child has
  // closed it or ended; the caller must have ignored SIGPIPE (ignoreBrokenPipes()).
  Status send(std::string_view text);
  void closeInput();
  // Stops listening to standard error: the child's next writes there fail (EPIPE).
  void closeErrorOutput();
  // Sends `signo`; nothing once the child has been reaped.
  void signal(int signo);

  // The complete lines that came on standard error / output since the last call, in order.
  std::vector<std::string> takeErrorLines();
  std::vector<std::string> takeOutputLines();
  // Both output pipes reached their end: the child ended or closed them.
  bool outputsEnded() const { return !errFd_.valid() && !outFd_.valid(); }
  // The child's end once it has ended (reaped without waiting); nullopt while it runs.
  std::optional<ChildEnd> ended();
  // Waits for the end. Reads and keeps its output meanwhile.
  ChildEnd wait();

 private:
  friend void waitForActivity(std::span<ChildProcess* const>, class SignalInbox*,
                              std::chrono::milliseconds);
  ChildProcess() = default;
  // Reads what `fd` holds now; closes it at its end.
  void drain(UniqueFd& fd, LineSplitter& splitter, std::vector<std::string>& lines);

  pid_t pid_ = -1;
  std::string program_;
  UniqueFd inFd_, outFd_, errFd_;
  LineSplitter errSplit_, outSplit_;
  std::vector<std::string> errLines_, outLines_;
  std::optional<ChildEnd> end_;
};

// Signals taken by the event loop instead of by a handler: blocked in the calling thread from
// construction (make it first thing in main, before any thread, so every thread inherits the
// block), and read from a descriptor by waitForActivity(). Destruction unblocks them.
class SignalInbox {
 public:
  explicit SignalInbox(std::initializer_list<int> signals);
  ~SignalInbox();
  SignalInbox(const SignalInbox&) = delete;
  SignalInbox& operator=(const SignalInbox&) = delete;

  // The signals that came since the last call, in order of arrival (each standard signal at
  // most once while it was pending).
  std::vector<int> take();

 private:
  friend void waitForActivity(std::span<ChildProcess* const>, SignalInbox*,
                              std::chrono::milliseconds);
  BlockedSignals blocked_;  // first: blocked before the descriptor exists, unblocked after it
  UniqueFd fd_;
  std::vector<int> pending_;
};

// Waits at most `timeout` until one of `children` writes, closes its outputs, or `inbox` (may
// be null) holds a signal; reads everything that is there into the children's lines and the
// inbox. Returns earlier when there is something to take.
void waitForActivity(std::span<ChildProcess* const> children, SignalInbox* inbox,
                     std::chrono::milliseconds timeout);

}  // namespace talvex
