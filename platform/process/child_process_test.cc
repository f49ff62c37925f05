#include "platform/process/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "platform/process/output.h"

namespace talvex {
namespace {

using Lines = std::vector<std::string>;

struct Ran {
  Lines err, out;
  ChildEnd end;
};

Ran runToEnd(const std::vector<std::string>& argv, const std::string& input = "") {
  auto child = ChildProcess::start(argv);
  EXPECT_TRUE(child) << child.message();
  if (!child) return {};
  if (!input.empty()) {
    EXPECT_TRUE((*child)->send(input));
  }
  (*child)->closeInput();
  Ran r;
  r.end = (*child)->wait();
  r.err = (*child)->takeErrorLines();
  r.out = (*child)->takeOutputLines();
  return r;
}

TEST(ChildProcess, LinesExitAndInputAsTheChildGaveThem) {
  struct Case {
    const char* name;
    std::string script, input;
    Lines err, out;
    int exitCode, signal;
  } cases[] = {
      // A line written in pieces is one line; CRLF ends a line too; the unterminated rest
      // at the end is the last line.
      {"pieces",
       "printf 'STAR' >&2; sleep 0.1; printf 'TED\\r\\nLEVEL:0.5' >&2; echo out",
       "",
       {"STARTED", "LEVEL:0.5"},
       {"out"},
       0,
       0},
      {"exit status", "echo 'ERR:no-display' >&2; exit 4", "", {"ERR:no-display"}, {}, 4, 0},
      {"killed", "kill -KILL $$", "", {}, {}, -1, SIGKILL},
      {"input reaches it",
       "while read l; do echo \"got $l\"; done",
       "REC a\tb\nQUIT\n",
       {},
       {"got REC a\tb", "got QUIT"},
       0,
       0},
  };
  for (const Case& c : cases) {
    const Ran r = runToEnd({"/bin/sh", "-c", c.script}, c.input);
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.end.exitCode, c.exitCode) << c.name;
    EXPECT_EQ(r.end.signal, c.signal) << c.name;
  }
}

TEST(ChildProcess, AProgramThatCannotRunIsAFailureNotAChild) {
  auto child = ChildProcess::start({"/nonexistent/talvex-looptap", "x.wav"});
  ASSERT_FALSE(child);
  EXPECT_EQ(child.message(), "cannot run /nonexistent/talvex-looptap: No such file or directory");
}

// The parent takes SIGTERM through its inbox and ignores SIGPIPE; the child must still end by
// SIGTERM, and be in a group of its own so that a terminal's Ctrl-C reaches only the parent.
TEST(ChildProcess, StartsWithDefaultSignalsInAGroupOfItsOwn) {
  SignalInbox inbox{SIGTERM, SIGINT};
  ignoreBrokenPipes();
  auto child = ChildProcess::start({"/bin/sleep", "30"});
  ASSERT_TRUE(child) << child.message();
  EXPECT_EQ(::getpgid((*child)->pid()), (*child)->pid());
  (*child)->signal(SIGTERM);
  const ChildEnd end = (*child)->wait();
  EXPECT_EQ(end.signal, SIGTERM) << end.describe();
  EXPECT_FALSE((*child)->send("STOP\n")) << "the input of an ended child refuses lines";
}

// A parent that stops listening: what the child writes on standard error then is refused, and
// SIGPIPE, at its default action, ends it.
TEST(ChildProcess, AClosedErrorOutputRefusesTheChildsLines) {
  ignoreBrokenPipes();
  auto child = ChildProcess::start({"/bin/sh", "-c", "read l; echo said >&2"});
  ASSERT_TRUE(child) << child.message();
  (*child)->closeErrorOutput();
  EXPECT_TRUE((*child)->send("go\n"));
  EXPECT_EQ((*child)->wait().signal, SIGPIPE);
  EXPECT_EQ((*child)->takeErrorLines(), Lines{});
}

TEST(SignalInbox, SignalsArriveAsValuesInOrder) {
  SignalInbox inbox{SIGINT, SIGTERM};
  ::kill(::getpid(), SIGINT);
  waitForActivity({}, &inbox, std::chrono::milliseconds(5000));
  ::kill(::getpid(), SIGTERM);
  waitForActivity({}, &inbox, std::chrono::milliseconds(5000));
  EXPECT_EQ(inbox.take(), (std::vector<int>{SIGINT, SIGTERM}));
  EXPECT_EQ(inbox.take(), std::vector<int>{});
}

TEST(LineSplitter, AnEndlessLineComesInPiecesOfTheLimit) {
  LineSplitter s;
  Lines lines;
  s.append(std::string(LineSplitter::kMaxLine * 2 + 3, 'x') + "\nnext", lines);
  s.finish(lines);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].size(), LineSplitter::kMaxLine);
  EXPECT_EQ(lines[1].size(), LineSplitter::kMaxLine);
  EXPECT_EQ(lines[2], "xxx");
  EXPECT_EQ(lines[3], "next");
}

}  // namespace
}  // namespace talvex
