#include "tests/child_process.h"

#include <fcntl.h>
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
#include <stdexcept>

extern char** environ;

namespace talvex::testing {

std::vector<std::string> fileLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds within) {
  const auto until = std::chrono::steady_clock::now() + within;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    ::usleep(20000);
  }
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

TempDir::TempDir(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + ".XXXXXX";
  if (::mkdtemp(tmpl.data())) path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
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

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) || ::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string s(*e);
    auto eq = s.find('=');
    if (eq != std::string::npos && env.count(s.substr(0, eq))) continue;
    envStrings.push_back(s);
  }
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : envStrings) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    // The test runner may ignore or block signals; the child starts with the defaults.
    for (int s : {SIGINT, SIGTERM, SIGPIPE, SIGUSR1, SIGUSR2}) ::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  errFd_ = errPipe[0];
  setNonBlocking(out_);
  setNonBlocking(errFd_);
  ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
  if (!done_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  for (int fd : {in_, out_, errFd_})
    if (fd >= 0) ::close(fd);
}

void ChildProcess::write(const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0 && in_ >= 0) {
    ssize_t n = ::write(in_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void ChildProcess::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void ChildProcess::closeErrorOutput() {
  if (errFd_ >= 0) ::close(errFd_);
  errFd_ = -1;
}

void ChildProcess::signal(int signo) {
  if (!done_) ::kill(pid_, signo);
}

void ChildProcess::pump(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  int nfds = 0;
  pollfd active[2];
  for (auto& f : fds)
    if (f.fd >= 0) active[nfds++] = f;
  if (nfds == 0) return;
  if (::poll(active, static_cast<nfds_t>(nfds), static_cast<int>(timeout.count())) <= 0) return;
  char buf[65536];
  for (int i = 0; i < nfds; ++i) {
    if (!(active[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t n = ::read(active[i].fd, buf, sizeof buf);
    std::string& sink = active[i].fd == out_ ? out : err_;
    if (n > 0) {
      sink.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      int& fd = active[i].fd == out_ ? out_ : errFd_;
      ::close(fd);
      fd = -1;
    }
  }
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& line,
                                                     std::chrono::milliseconds timeout,
                                                     bool prefix) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    size_t nl;
    while ((nl = err_.find('\n', scanned_)) != std::string::npos) {
      std::string l = err_.substr(scanned_, nl - scanned_);
      scanned_ = nl + 1;
      if (l == line || (prefix && l.rfind(line, 0) == 0)) return l;
    }
    if (errFd_ < 0 || Clock::now() >= deadline) return std::nullopt;
    pump(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  }
}

std::optional<RunResult> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (done_) return done_;
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      while (out_ >= 0 || errFd_ >= 0) pump(std::chrono::milliseconds(1000));
      RunResult res;
      if (WIFEXITED(st)) res.exitStatus = WEXITSTATUS(st);
      if (WIFSIGNALED(st)) res.termSignal = WTERMSIG(st);
      res.out = out;
      res.err = err_;
      done_ = res;
      return done_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    if (out_ >= 0 || errFd_ >= 0)
      pump(std::chrono::milliseconds(20));
    else
      ::usleep(10000);
  }
}

RunResult run(const std::vector<std::string>& argv, const std::string& input,
              const std::map<std::string, std::string>& env, std::chrono::milliseconds timeout) {
  ChildProcess child(argv, env);
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
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    const std::string s(*e);
    if (!env.count(s.substr(0, s.find('=')))) envStrings.push_back(s);
  }
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> args, cenv;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : envStrings) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) return r;
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execve(args[0], args.data(), cenv.data());
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
