// `talvex-lumipose analyze` shows a progress line when its standard error is a terminal, and
// nothing more than before when it is a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/media/testing/media_fixtures.h"
#include "tests/child_process.h"

namespace talvex {
namespace {

using media::fixtures::TempDir;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct TerminalRun {
  int exitStatus = -1;
  std::string out, terminal;
};

// Runs `argv` with standard error (and input) on a pseudo-terminal and standard output on a
// pipe, as a person running it in a terminal with its output redirected would.
TerminalRun runWithTerminalStderr(const std::vector<std::string>& argv) {
  TerminalRun r;
  int out[2];
  if (::pipe(out) != 0) return r;
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
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

TEST(AnalyzeProgress, TerminalGetsOneSelfUpdatingLinePipeGetsNothing) {
  TempDir dir;
  const std::string movie = dir.file("m.mov");
  ASSERT_TRUE(media::fixtures::makeMovie(movie, 90));
  const std::string lumipose = testing::buildPath("talvex-lumipose");

  const auto piped = testing::run({lumipose, "analyze", movie, dir.file("piped.jsonl")});
  EXPECT_EQ(piped.exitStatus, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out, "analysed 30 of 90 frames\n");

  const auto tty = runWithTerminalStderr({lumipose, "analyze", movie, dir.file("tty.jsonl")});
  EXPECT_EQ(tty.exitStatus, 0);
  EXPECT_EQ(tty.out, "analysed 30 of 90 frames\n");  // the result line is unchanged
  // Updates rewrite the same line (carriage returns, never a line feed) and the line is erased
  // before the program ends.
  ASSERT_FALSE(tty.terminal.empty());
  EXPECT_EQ(tty.terminal.find('\n'), std::string::npos) << tty.terminal;
  EXPECT_EQ(tty.terminal.rfind("\r\x1b[K"), tty.terminal.size() - 4) << tty.terminal;
  EXPECT_EQ(tty.terminal.rfind("\ranalysing ", 0), 0u) << tty.terminal;
  EXPECT_NE(tty.terminal.find("% "), std::string::npos);
  EXPECT_NE(tty.terminal.find(" frames/s "), std::string::npos);
  EXPECT_NE(tty.terminal.find(" left"), std::string::npos);
  // The frames file does not depend on where the progress goes.
  EXPECT_EQ(readFile(dir.file("tty.jsonl")), readFile(dir.file("piped.jsonl")));
}

}  // namespace
}  // namespace talvex
