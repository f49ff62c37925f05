#include "record/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace talvex::record {
namespace {

TEST(Options, CommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string out;  // empty: refused
    std::optional<double> seconds;
    bool sheet;
    std::string error;
  } cases[] = {
      {{"talk.mov"}, "talk.mov", std::nullopt, false, ""},
      {{"--seconds", "5", "talk.mov"}, "talk.mov", 5.0, false, ""},
      {{"talk.mov", "--seconds=2.5", "--sheet"}, "talk.mov", 2.5, true, ""},
      // A name that looks like an option after "--".
      {{"--", "-odd.mov"}, "-odd.mov", std::nullopt, false, ""},
      {{}, "", std::nullopt, false, kUsage},
      {{"--seconds", "0", "a.mov"},
       "",
       std::nullopt,
       false,
       "--seconds needs a number above 0, not '0'"},
      {{"--seconds", "1,5", "a.mov"},
       "",
       std::nullopt,
       false,
       "--seconds needs a number above 0, not '1,5'"},
      {{"--seconds", "nan", "a.mov"},
       "",
       std::nullopt,
       false,
       "--seconds needs a number above 0, not 'nan'"},
      {{"a.mov", "--seconds"},
       "",
       std::nullopt,
       false,
       std::string("--seconds needs a number; ") + kUsage},
      {{"-x", "a.mov"}, "", std::nullopt, false, std::string("unknown option -x; ") + kUsage},
      {{"a.mov", "b.mov"}, "", std::nullopt, false, std::string("one movie at a time; ") + kUsage},
  };
  for (const Case& c : cases) {
    const auto o = parseOptions(c.args);
    const std::string name = c.args.empty() ? "(none)" : c.args.front() + "...";
    if (c.out.empty()) {
      ASSERT_FALSE(o) << name;
      EXPECT_EQ(o.message(), c.error) << name;
      continue;
    }
    ASSERT_TRUE(o) << name << ": " << o.message();
    EXPECT_EQ(o->out, c.out) << name;
    EXPECT_EQ(o->seconds, c.seconds) << name;
    EXPECT_EQ(o->sheet, c.sheet) << name;
  }
}

TEST(Options, KeptFilesNeverTakeTheMoviesName) {
  struct Case {
    std::string out, frames, sheet;
  } cases[] = {
      {"talk.mov", "talk.jsonl", "talk-sheet.png"},
      {"/tmp/a.b/talk", "/tmp/a.b/talk.jsonl", "/tmp/a.b/talk-sheet.png"},
      {"odd.jsonl", "odd.jsonl.jsonl", "odd.jsonl-sheet.png"},
      {"pic.png", "pic.png.jsonl", "pic.png-sheet.png"},
  };
  for (const Case& c : cases) {
    const KeptFiles k = keptFilesFor(c.out);
    EXPECT_EQ(k.frames, c.frames) << c.out;
    EXPECT_EQ(k.sheet, c.sheet) << c.out;
  }
}

}  // namespace
}  // namespace talvex::record
