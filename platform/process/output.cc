#include "platform/process/output.h"

#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <string>

namespace talvex {

void writeWhole(int fd, std::string_view text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

namespace {
void writeLine(int fd, std::string_view line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line);
  whole.push_back('\n');
  writeWhole(fd, whole);
}
}  // namespace

void say(std::string_view line) { writeLine(STDERR_FILENO, line); }

void printResult(std::string_view line) { writeLine(STDOUT_FILENO, line); }

void ignoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

void exitProcess(int status) { ::_exit(status); }

void fail(std::string_view message) {
  std::string line("ERR:");
  line.append(message);
  say(line);
  exitProcess(1);
}

}  // namespace talvex
