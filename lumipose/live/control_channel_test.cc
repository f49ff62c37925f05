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

TEST(ControlLine, EachLineMeansOneCommand) {
  const struct {
    const char* line;
    Command command;
  } cases[] = {
      {"REC a.mov\tb.jsonl", Rec{"a.mov", "b.jsonl"}},
      // Spaces inside paths are kept; only the first space separates the word.
      {"REC my movie.mov\tmy frames.jsonl", Rec{"my movie.mov", "my frames.jsonl"}},
      {"REC  lead.mov\tf", Rec{" lead.mov", "f"}},
      {"REC trail.mov \tf ", Rec{"trail.mov ", "f "}},
      // Runs of tabs, and tabs at either end, are one separator or none.
      {"REC a\t\t\tb", Rec{"a", "b"}},
      {"REC \ta\tb\t", Rec{"a", "b"}},
      {"   REC a\tb", Rec{"a", "b"}},
      // Malformed operands ask for two paths.
      {"REC only-one.mov", RecUsage{}},
      {"REC a\tb\tc", RecUsage{}},
      {"REC \t\t", RecUsage{}},
      {"REC  ", RecUsage{}},  // a space is an operand
      // STOP and QUIT take anything after a space.
      {"STOP", Stop{}},
      {"  STOP", Stop{}},
      {"STOP now please", Stop{}},
      {"QUIT", Quit{}},
      {"QUIT x", Quit{}},
      // Everything else is ignored. "REC " with a lone trailing space has an empty operand,
      // which does not count as one.
      {"", Ignore{}},
      {"   ", Ignore{}},
      {"REC", Ignore{}},
      {"REC ", Ignore{}},
      {"stop", Ignore{}},
      {"quit", Ignore{}},
      {"rec a\tb", Ignore{}},
      {"STOPPED", Ignore{}},
      {"REC\ta\tb", Ignore{}},
      {"STOP\tx", Ignore{}},
      {"QUITE", Ignore{}},
      {"hello world", Ignore{}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(parseControlLine(c.line), c.command) << '"' << c.line << '"';
}

}  // namespace
}  // namespace talvex::lumipose
