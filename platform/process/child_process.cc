#include "platform/process/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace talvex {

std::string ChildEnd::describe() const {
  if (signal != 0)
    return "killed by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
  return "exit status " + std::to_string(exitCode);
}

void LineSplitter::append(std::string_view bytes, std::vector<std::string>& lines) {
  while (!bytes.empty()) {
    const size_t nl = bytes.find('\n');
    const size_t take = nl == std::string_view::npos ? bytes.size() : nl;
    const size_t room = kMaxLine - partial_.size();
    if (take >= room) {
      partial_.append(bytes.substr(0, room));
      bytes.remove_prefix(room);
      lines.push_back(std::move(partial_));
      partial_.clear();
      continue;
    }
    partial_.append(bytes.substr(0, take));
    if (nl == std::string_view::npos) return;
    bytes.remove_prefix(nl + 1);
    if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
    lines.push_back(std::move(partial_));
    partial_.clear();
  }
}

void LineSplitter::finish(std::vector<std::string>& lines) {
  if (partial_.empty()) return;
  lines.push_back(std::move(partial_));
  partial_.clear();
}

namespace {

// A pipe's two ends, closed on exec.
struct Pipe {
  UniqueFd read, write;
};

bool makePipe(Pipe& p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  p.read.reset(fds[0]);
  p.write.reset(fds[1]);
  return true;
}

ChildEnd endFromWaitStatus(int st) {
  ChildEnd end;
  if (WIFEXITED(st)) end.exitCode = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) end.signal = WTERMSIG(st);
  return end;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeChild(const Pipe& in, const Pipe& out, const Pipe& err, int report,
                              pid_t parent, char* const* argv) {
  ::dup2(in.read.get(), STDIN_FILENO);
  ::dup2(out.write.get(), STDOUT_FILENO);
  ::dup2(err.write.get(), STDERR_FILENO);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) ::sigaction(s, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  // The parent may have died before the request took effect.
  if (::getppid() != parent) ::_exit(127);
  ::execve(argv[0], argv, environ);
  const int e = errno;
  [[maybe_unused]] ssize_t ignored = ::write(report, &e, sizeof e);
  ::_exit(127);
}

}  // namespace

Result<std::unique_ptr<ChildProcess>> ChildProcess::start(const std::vector<std::string>& argv) {
  using R = Result<std::unique_ptr<ChildProcess>>;
  if (argv.empty()) return R::failure("no program to run");
  Pipe in, out, err, report;
  if (!makePipe(in) || !makePipe(out) || !makePipe(err) || !makePipe(report))
    return R::failure("cannot run " + argv[0] + ": " + std::strerror(errno));
  std::vector<char*> cargv;
  for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return R::failure("cannot run " + argv[0] + ": " + std::strerror(errno));
  if (pid == 0) becomeChild(in, out, err, report.write.get(), parent, cargv.data());

  // Also here, so that a signal sent before the child got to it reaches the right group.
  ::setpgid(pid, pid);
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->pid_ = pid;
  child->program_ = argv[0];
  child->inFd_ = std::move(in.write);
  child->outFd_ = std::move(out.read);
  child->errFd_ = std::move(err.read);
  // The child's ends are the child's: the outputs end when it closes them.
  for (UniqueFd* end : {&in.read, &out.write, &err.write, &report.write}) end->reset();
  int execErrno = 0;
  ssize_t n;
  while ((n = ::read(report.read.get(), &execErrno, sizeof execErrno)) < 0 && errno == EINTR) {
  }
  if (n == sizeof execErrno) {
    child->wait();
    return R::failure("cannot run " + argv[0] + ": " + std::strerror(execErrno));
  }
  for (int fd : {child->outFd_.get(), child->errFd_.get()})
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return child;
}

ChildProcess::~ChildProcess() {
  if (!end_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int st;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
  }
}

Status ChildProcess::send(std::string_view text) {
  while (!text.empty()) {
    if (!inFd_.valid()) return Status::failure("standard input closed");
    const ssize_t n = ::write(inFd_.get(), text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::failure(std::strerror(errno));
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return Status::ok();
}

void ChildProcess::closeInput() { inFd_.reset(); }
void ChildProcess::closeErrorOutput() { errFd_.reset(); }

void ChildProcess::signal(int signo) {
  if (!end_ && pid_ > 0) ::kill(pid_, signo);
}

std::vector<std::string> ChildProcess::takeErrorLines() { return std::exchange(errLines_, {}); }
std::vector<std::string> ChildProcess::takeOutputLines() { return std::exchange(outLines_, {}); }

void ChildProcess::drain(UniqueFd& fd, LineSplitter& splitter, std::vector<std::string>& lines) {
  char buf[16384];
  while (fd.valid()) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n > 0) {
      splitter.append(std::string_view(buf, static_cast<size_t>(n)), lines);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      splitter.finish(lines);
      fd.reset();
    } else if (errno == EAGAIN) {
      return;
    }
  }
}

std::optional<ChildEnd> ChildProcess::ended() {
  if (end_ || pid_ <= 0) return end_;
  int st = 0;
  if (::waitpid(pid_, &st, WNOHANG) == pid_) end_ = endFromWaitStatus(st);
  return end_;
}

ChildEnd ChildProcess::wait() {
  while (!outputsEnded()) {
    ChildProcess* self = this;
    waitForActivity(std::span(&self, 1), nullptr, std::chrono::milliseconds(1000));
    // A child that left its outputs open to a process of its own must not hold us.
    if (ended()) break;
  }
  if (!end_) {
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    end_ = endFromWaitStatus(st);
  }
  drain(outFd_, outSplit_, outLines_);
  drain(errFd_, errSplit_, errLines_);
  return *end_;
}

SignalInbox::SignalInbox(std::initializer_list<int> signals)
    : blocked_(signals), fd_(::signalfd(-1, &blocked_.signals(), SFD_NONBLOCK | SFD_CLOEXEC)) {}

SignalInbox::~SignalInbox() = default;

std::vector<int> SignalInbox::take() {
  waitForActivity({}, this, std::chrono::milliseconds(0));
  return std::exchange(pending_, {});
}

void waitForActivity(std::span<ChildProcess* const> children, SignalInbox* inbox,
                     std::chrono::milliseconds timeout) {
  std::vector<pollfd> fds;
  for (ChildProcess* c : children)
    for (const UniqueFd* fd : {&c->errFd_, &c->outFd_})
      if (fd->valid()) fds.push_back({fd->get(), POLLIN, 0});
  if (inbox && inbox->fd_.valid()) fds.push_back({inbox->fd_.get(), POLLIN, 0});
  // Lines already waiting to be taken need no wait.
  bool waiting = inbox && !inbox->pending_.empty();
  for (ChildProcess* c : children) waiting |= !c->errLines_.empty() || !c->outLines_.empty();
  const int ms = waiting ? 0 : static_cast<int>(timeout.count());
  if (::poll(fds.data(), fds.size(), ms) < 0 && errno != EINTR) return;
  for (ChildProcess* c : children) {
    c->drain(c->errFd_, c->errSplit_, c->errLines_);
    c->drain(c->outFd_, c->outSplit_, c->outLines_);
  }
  if (inbox && inbox->fd_.valid()) {
    signalfd_siginfo info;
    while (::read(inbox->fd_.get(), &info, sizeof info) == sizeof info)
      inbox->pending_.push_back(static_cast<int>(info.ssi_signo));
  }
}

}  // namespace talvex
