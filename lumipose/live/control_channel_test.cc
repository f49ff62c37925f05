#include "lumipose/live/control_channel.h"

#include <gtest/gtest.h>

namespace talvex::lumipose {
namespace {

using control::Command;
using control::Ignore;
using control::Quit;
using control::Rec;
using control::RecUsage;
using control::Stop;

TEST(ControlLine, RecTakesTwoTabSeparatedPathsExactly) {
  EXPECT_EQ(parseControlLine("REC a.mov\tb.jsonl"), Command(Rec{"a.mov", "b.jsonl"}));
  // Spaces inside paths are kept; only the first space separates the word.
  EXPECT_EQ(parseControlLine("REC my movie.mov\tmy frames.jsonl"),
            Command(Rec{"my movie.mov", "my frames.jsonl"}));
  EXPECT_EQ(parseControlLine("REC  lead.mov\tf"), Command(Rec{" lead.mov", "f"}));
  EXPECT_EQ(parseControlLine("REC trail.mov \tf "), Command(Rec{"trail.mov ", "f "}));
  // Runs of tabs, and tabs at either end, are one separator or none.
  EXPECT_EQ(parseControlLine("REC a\t\t\tb"), Command(Rec{"a", "b"}));
  EXPECT_EQ(parseControlLine("REC \ta\tb\t"), Command(Rec{"a", "b"}));
  EXPECT_EQ(parseControlLine("   REC a\tb"), Command(Rec{"a", "b"}));
}

TEST(ControlLine, MalformedRecOperandsAskForTwoPaths) {
  EXPECT_EQ(parseControlLine("REC only-one.mov"), Command(RecUsage{}));
  EXPECT_EQ(parseControlLine("REC a\tb\tc"), Command(RecUsage{}));
  EXPECT_EQ(parseControlLine("REC \t\t"), Command(RecUsage{}));
  EXPECT_EQ(parseControlLine("REC  "), Command(RecUsage{}));  // a space is an operand
  EXPECT_EQ(kRecUsageLine, "ERR:REC needs <movie>\\t<frames>");
  EXPECT_EQ(kRecUsageLine.find('\t'), std::string_view::npos);
}

TEST(ControlLine, StopAndQuitTakeAnythingAfterASpace) {
  EXPECT_EQ(parseControlLine("STOP"), Command(Stop{}));
  EXPECT_EQ(parseControlLine("  STOP"), Command(Stop{}));
  EXPECT_EQ(parseControlLine("STOP now please"), Command(Stop{}));
  EXPECT_EQ(parseControlLine("QUIT"), Command(Quit{}));
  EXPECT_EQ(parseControlLine("QUIT x"), Command(Quit{}));
}

TEST(ControlLine, EverythingElseIsIgnored) {
  for (const char* line : {"", "   ", "REC", "REC ", "stop", "quit", "rec a\tb", "STOPPED",
                           "REC\ta\tb", "STOP\tx", "QUITE", "hello world"}) {
    Command c = parseControlLine(line);
    // "REC " with a lone trailing space has an empty operand, which does not count as one.
    EXPECT_EQ(c, Command(Ignore{})) << '"' << line << '"';
  }
}

}  // namespace
}  // namespace talvex::lumipose
