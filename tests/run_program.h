// Runs the built programs for end-to-end tests: talked to through pipes and real signals, with
// time limits so a hung child fails the test instead of CI.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/testing/media_fixtures.h"
#include "platform/process/child_process.h"
#include "platform/process/testing/eventually.h"

namespace talvex::testing {

std::string buildPath(const std::string& name);  // a file in the build directory

struct RunResult {
  int exitStatus = -1;  // -1 when killed by a signal
  int termSignal = 0;
  std::string out, err;
};

// The lines of a text file, without their line feeds; none when it cannot be read.
std::vector<std::string> fileLines(const std::filesystem::path& path);
// The lines of `text`, without their line feeds.
std::vector<std::string> linesOf(const std::string& text);
// A file's bytes; "" when it cannot be read.
std::string fileText(const std::filesystem::path& path);

// Waits up to `within` until the file at `path` is a new one: there, and not the one that was
// there when called (files written by rename get a new inode).
bool fileReplaced(const std::filesystem::path& path, std::chrono::milliseconds within);

// Waits up to `within` until `pid` blocks or catches every one of `signals` (as
// /proc/<pid>/status shows): from then on they reach the program's own handling, not their
// default action.
bool signalsTaken(pid_t pid, std::initializer_list<int> signals,
                  std::chrono::milliseconds within = std::chrono::seconds(10));

using media::fixtures::TempDir;

// Runs a shell command line and returns what it printed on standard output; `status`, when
// given, receives its wait status.
std::string shell(const std::string& cmd, int* status = nullptr);

// Runs `argv` to completion with `input` on its standard input (then closed).
RunResult run(const std::vector<std::string>& argv, const std::string& input = "",
              const std::map<std::string, std::string>& env = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(120));

// A program that runs while the test talks to it, on the product's ChildProcess (which gives
// it a process group of its own and SIGTERM should the test die). What is read is kept as the
// lines a parent reads, each ended by a line feed. The destructor kills what is still running.
class RunningProgram {
 public:
  // Throws std::runtime_error when the program cannot be started.
  RunningProgram(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env = {});
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return child_->pid(); }
  // Writes to standard input; what the program no longer reads is dropped.
  void write(const std::string& text);
  void closeInput() { child_->closeInput(); }
  // Closes the test's end of the child's standard error, as a parent that stops listening does.
  void closeErrorOutput() { child_->closeErrorOutput(); }
  void signal(int signo) { child_->signal(signo); }
  // Waits until standard error holds a line equal to `line` (or starting with it when
  // `prefix`); returns that line, or nullopt on timeout or when the program has ended.
  std::optional<std::string> waitForLine(const std::string& line, std::chrono::milliseconds timeout,
                                         bool prefix = false);
  // Waits for the exit; collects the rest of both streams. nullopt on timeout.
  std::optional<RunResult> wait(std::chrono::milliseconds timeout);
  // Reads what the child has written by now, without waiting.
  void readAvailable() { poll(std::chrono::milliseconds(0)); }
  // Everything read from standard error so far.
  const std::string& errSoFar() const { return err_; }

 private:
  void poll(std::chrono::milliseconds timeout);
  std::unique_ptr<ChildProcess> child_;
  std::string out_, err_;
  std::vector<std::string> errLines_;
  size_t scanned_ = 0;
  std::optional<RunResult> done_;
};

// What a run with standard error on a pseudo-terminal printed.
struct TerminalRun {
  int exitStatus = -1;
  std::string out, terminal;
};

// Runs `argv` with standard error (and input) on a pseudo-terminal and standard output on a
// pipe, as a person running it in a terminal with its output redirected would; `env` is
// added to the environment.
TerminalRun runWithTerminalStderr(const std::vector<std::string>& argv,
                                  const std::map<std::string, std::string>& env = {});

}  // namespace talvex::testing
