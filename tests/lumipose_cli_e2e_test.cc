// The command line of talvex-lumipose, run as the parent application runs it.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/run_program.h"

namespace talvex {
namespace {

using testing::run;
using testing::RunResult;

RunResult lumipose(std::vector<std::string> args) {
  args.insert(args.begin(), testing::buildPath("talvex-lumipose"));
  return run(args);
}

TEST(LumiposeCli, UsageAndUnknownModes) {
  RunResult r = lumipose({});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "ERR:usage: talvex-lumipose status | live <preview.jpg> | analyze <mov> <jsonl> | mux "
            "<video> <wav> <out> [offset]\n");

  r = lumipose({"Status"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "ERR:unknown mode Status\n");
  r = lumipose({""});
  EXPECT_EQ(r.err, "ERR:unknown mode \n");
}

TEST(LumiposeCli, TooFewOperands) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"analyze"}, "ERR:analyze <mov> <jsonl>\n"},
      {{"analyze", "a.mov"}, "ERR:analyze <mov> <jsonl>\n"},
      {{"mux", "a", "b"}, "ERR:mux <video> <wav> <out> [offset]\n"},
      {{"live"}, "ERR:live <preview.jpg>\n"},
  };
  for (const auto& c : cases) {
    RunResult r = lumipose(c.args);
    EXPECT_EQ(r.exitStatus, 1) << c.line;
    EXPECT_EQ(r.err, c.line);
    EXPECT_EQ(r.out, "");
  }
}

TEST(LumiposeCli, StatusPrintsOnePermissionWord) {
  RunResult r = lumipose({"status", "ignored"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out == "authorized\n" || r.out == "denied\n" || r.out == "restricted\n" ||
              r.out == "notDetermined\n")
      << r.out;
  // Without any /dev/video* capture device the answer is "notDetermined".
  bool anyVideo = false;
  for (const auto& e : std::filesystem::directory_iterator("/dev"))
    anyVideo |= e.path().filename().string().rfind("video", 0) == 0;
  if (!anyVideo) {
    EXPECT_EQ(r.out, "notDetermined\n");
  }
}

}  // namespace
}  // namespace talvex
