#include "tests/run_program.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace talvex::testing {

std::vector<std::string> fileLines(const std::filesystem::path& path) {
  return linesOf(fileText(path));
}

std::vector<std::string> linesOf(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool fileReplaced(const std::filesystem::path& path, std::chrono::milliseconds within) {
  struct stat before {};
  const bool had = ::stat(path.c_str(), &before) == 0;
  return eventually(
      [&] {
        struct stat now {};
        return ::stat(path.c_str(), &now) == 0 && (!had || now.st_ino != before.st_ino);
      },
      within);
}

bool signalsTaken(pid_t pid, std::initializer_list<int> signals, std::chrono::milliseconds within) {
  unsigned long long wanted = 0;
  for (int s : signals) wanted |= 1ull << (s - 1);
  const auto until = std::chrono::steady_clock::now() + within;
  for (;;) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    unsigned long long taken = 0;
    for (std::string line; std::getline(in, line);)
      if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigCgt:", 0) == 0)
        taken |= std::stoull(line.substr(7), nullptr, 16);
    // Checked often: the tests signal in the first milliseconds after this.
    if ((taken & wanted) == wanted) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    ::usleep(100);
  }
}

std::string shell(const std::string& cmd, int* status) {
  std::string out;
  FILE* f = ::popen(cmd.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  const int st = ::pclose(f);
  if (status) *status = st;
  return out;
}

std::string buildPath(const std::string& name) {
  return std::string(TALVEX_BUILD_DIR) + "/" + name;
}

namespace {

using Clock = std::chrono::steady_clock;

// `argv` run through env(1) with `env` added to the environment, the program keeping the pid.
std::vector<std::string> withEnvironment(const std::vector<std::string>& argv,
                                         const std::map<std::string, std::string>& env) {
  if (env.empty()) return argv;
  std::vector<std::string> full{"/usr/bin/env"};
  for (const auto& [k, v] : env) full.push_back(k + "=" + v);
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

}  // namespace

RunningProgram::RunningProgram(const std::vector<std::string>& argv,
                               const std::map<std::string, std::string>& env) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that closed its input must not end the test
  auto child = ChildProcess::start(withEnvironment(argv, env));
  if (!child) throw std::runtime_error(child.message());
  child_ = std::move(child.value());
}

RunningProgram::~RunningProgram() = default;

void RunningProgram::write(const std::string& text) { (void)child_->send(text); }

void RunningProgram::poll(std::chrono::milliseconds timeout) {
  ChildProcess* self = child_.get();
  waitForActivity(std::span(&self, 1), nullptr, timeout);
  for (std::string& l : child_->takeOutputLines()) out_ += l + "\n";
  for (std::string& l : child_->takeErrorLines()) {
    err_ += l + "\n";
    errLines_.push_back(std::move(l));
  }
}

std::optional<std::string> RunningProgram::waitForLine(const std::string& line,
                                                       std::chrono::milliseconds timeout,
                                                       bool prefix) {
  const auto deadline = Clock::now() + timeout;
  for (bool ended = false;;) {
    for (; scanned_ < errLines_.size(); ++scanned_) {
      const std::string& l = errLines_[scanned_];
      if (l == line || (prefix && l.rfind(line, 0) == 0)) return errLines_[scanned_++];
    }
    // Checked before the last read: what the program wrote before it ended is still taken.
    if (ended || Clock::now() >= deadline) return std::nullopt;
    ended = child_->outputsEnded() || child_->ended().has_value();
    poll(std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                  std::chrono::milliseconds(100)));
  }
}

std::optional<RunResult> RunningProgram::wait(std::chrono::milliseconds timeout) {
  if (done_) return done_;
  const auto deadline = Clock::now() + timeout;
  while (!child_->ended()) {
    if (Clock::now() >= deadline) return std::nullopt;
    poll(std::chrono::milliseconds(20));
  }
  const ChildEnd end = child_->wait();  // reads what is left in the pipes
  poll(std::chrono::milliseconds(0));
  done_ = RunResult{end.exitCode, end.signal, out_, err_};
  return done_;
}

RunResult run(const std::vector<std::string>& argv, const std::string& input,
              const std::map<std::string, std::string>& env, std::chrono::milliseconds timeout) {
  RunningProgram child(argv, env);
  child.write(input);
  child.closeInput();
  auto r = child.wait(timeout);
  if (!r) {
    child.signal(SIGKILL);
    RunResult timedOut;
    timedOut.err = "(timed out)";
    return timedOut;
  }
  return *r;
}

TerminalRun runWithTerminalStderr(const std::vector<std::string>& argv,
                                  const std::map<std::string, std::string>& env) {
  TerminalRun r;
  // Made before the fork: the child may only exec.
  const std::vector<std::string> full = withEnvironment(argv, env);
  std::vector<char*> args;
  for (const auto& a : full) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) return r;
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execve(args[0], args.data(), environ);
    ::_exit(127);
  }
  ::close(out[1]);
  pollfd fds[2] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}};
  bool open[2] = {true, true};
  std::string* into[2] = {&r.terminal, &r.out};
  while (open[0] || open[1]) {
    if (::poll(fds, 2, 120000) <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (!open[i] || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {  // a pty's master reads EIO once the child has gone
        open[i] = false;
        fds[i].fd = -1;
      } else {
        into[i]->append(buf, static_cast<size_t>(n));
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.exitStatus = WEXITSTATUS(status);
  ::close(master);
  ::close(out[0]);
  return r;
}

}  // namespace talvex::testing
