// `talvex-lumipose analyze` shows a progress line when its standard error is a terminal, and
// nothing more than before when it is a pipe.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/media/testing/media_fixtures.h"
#include "tests/run_program.h"

namespace talvex {
namespace {

using media::fixtures::TempDir;

TEST(AnalyzeProgress, TerminalGetsOneSelfUpdatingLinePipeGetsNothing) {
  TempDir dir;
  const std::string movie = dir.file("m.mov");
  ASSERT_TRUE(media::fixtures::makeMovie(movie, 90));
  const std::string lumipose = testing::buildPath("talvex-lumipose");

  const auto piped = testing::run({lumipose, "analyze", movie, dir.file("piped.jsonl")});
  EXPECT_EQ(piped.exitStatus, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out, "analysed 30 of 90 frames\n");

  const auto tty =
      testing::runWithTerminalStderr({lumipose, "analyze", movie, dir.file("tty.jsonl")});
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
  EXPECT_EQ(testing::fileText(dir.file("tty.jsonl")), testing::fileText(dir.file("piped.jsonl")));
}

}  // namespace
}  // namespace talvex
