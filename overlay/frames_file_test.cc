#include "overlay/frames_file.h"

#include <gtest/gtest.h>

namespace talvex::overlay {
namespace {

const std::string kHeader = "{\"start_epoch\":0}\n";

TEST(FramesFile, ReadsEveryDrawnKeyOfARecord) {
  const std::string text =
      "{\"start_epoch\":1700000000.5}\n"
      "{\"t\":0.1,\"faces\":0,\"luma\":[-1,0.4],\"hands\":[]}\n"
      "{\"t\":0.2,\"faces\":2,\"box\":[0.25,0.2,0.2,0.3],\"yaw\":28.648,\"roll\":-3,"
      "\"pitch\":4.5,\"luma\":[0.5,0.4],\"gaze\":[0.2,0],\"mouth\":[1,0.075],\"corner\":0.1,"
      "\"brow\":0.275,\"hands\":[[0.5,0.75,0.8]],\"shoulders\":[[0.7,0.9],[0.3,0.92]]}\n";
  auto f = parseFramesFile(text, "f.jsonl");
  ASSERT_TRUE(f) << f.message();
  EXPECT_DOUBLE_EQ(f->startEpoch, 1700000000.5);
  ASSERT_EQ(f->records.size(), 2u);
  const Record& empty = f->records[0];
  EXPECT_EQ(empty.faces, 0);
  EXPECT_FALSE(empty.box || empty.yaw || empty.gaze || empty.mouth || empty.shoulders);
  EXPECT_TRUE(empty.hands.empty());
  EXPECT_EQ(empty.line, 2);
  const Record& r = f->records[1];
  EXPECT_EQ(r.faces, 2);
  EXPECT_DOUBLE_EQ((*r.box)[1], 0.2);
  EXPECT_DOUBLE_EQ(*r.yaw, 28.648);
  EXPECT_DOUBLE_EQ(*r.pitch, 4.5);
  EXPECT_DOUBLE_EQ(*r.roll, -3);
  EXPECT_DOUBLE_EQ((*r.mouth)[1], 0.075);
  ASSERT_EQ(r.hands.size(), 1u);
  EXPECT_DOUBLE_EQ(r.hands[0].at.y, 0.75);
  EXPECT_DOUBLE_EQ(r.hands[0].confidence, 0.8);
  EXPECT_DOUBLE_EQ((*r.shoulders)[0].x, 0.7);  // the subject's left comes first
  EXPECT_DOUBLE_EQ((*r.shoulders)[1].y, 0.92);
}

TEST(FramesFile, AHeaderAloneAndALastLineWithoutLineFeedAreFine) {
  auto onlyHeader = parseFramesFile(kHeader, "f");
  ASSERT_TRUE(onlyHeader);
  EXPECT_TRUE(onlyHeader->records.empty());
  auto noFinalFeed = parseFramesFile(kHeader + "{\"t\":0.1,\"faces\":0}", "f");
  ASSERT_TRUE(noFinalFeed);
  EXPECT_EQ(noFinalFeed->records.size(), 1u);
  // Equal times are not out of order; unknown keys are left alone.
  auto same = parseFramesFile(
      kHeader + "{\"t\":0.1,\"faces\":0}\n{\"t\":0.1,\"faces\":1,\"new\":\"x\"}\n", "f");
  EXPECT_TRUE(same) << same.message();
}

TEST(FramesFile, BadInputNamesTheFileTheLineAndTheFault) {
  struct Case {
    std::string text, message;
  } cases[] = {
      {"", "f.jsonl: no header line"},
      {"{\"t\":0.1,\"faces\":0}\n", "f.jsonl line 1: no header {\"start_epoch\":...}"},
      {kHeader + "{\"t\":0.1,\"faces\":0}\nnot json\n", "f.jsonl line 3: not JSON"},
      {kHeader + "{\"t\":0.1,\"faces\":0}\n{\"t\":0.2,\"fa", "f.jsonl line 3: not JSON"},
      {kHeader + "\n{\"t\":0.1,\"faces\":0}\n", "f.jsonl line 2: empty line"},
      {kHeader + "[1,2]\n", "f.jsonl line 2: not a JSON object"},
      {kHeader + "{\"faces\":0}\n", "f.jsonl line 2: record without \"t\""},
      {kHeader + "{\"t\":\"0.1\",\"faces\":0}\n", "f.jsonl line 2: \"t\" is not a number"},
      {kHeader + "{\"t\":0.1}\n", "f.jsonl line 2: record without \"faces\""},
      {kHeader + "{\"t\":0.1,\"faces\":1.5}\n", "f.jsonl line 2: \"faces\" is not a count"},
      {kHeader + "{\"t\":0.1,\"faces\":1,\"box\":[0,0,1]}\n",
       "f.jsonl line 2: \"box\" is not 4 numbers"},
      {kHeader + "{\"t\":0.1,\"faces\":1,\"yaw\":null}\n",
       "f.jsonl line 2: \"yaw\" is not a number"},
      {kHeader + "{\"t\":0.1,\"faces\":0,\"hands\":[[0.5,0.5]]}\n",
       "f.jsonl line 2: a hand is not 3 numbers"},
      {kHeader + "{\"t\":0.1,\"faces\":0,\"shoulders\":[[0.5,0.5]]}\n",
       "f.jsonl line 2: \"shoulders\" is not 2 points"},
      {kHeader + "{\"t\":0.5,\"faces\":0}\n{\"t\":0.2,\"faces\":0}\n",
       "f.jsonl line 3: records out of order (t 0.2 after 0.5)"},
      // Lines whose parse would cost many times their size.
      {kHeader + std::string(100000, '[') + std::string(100000, ']') + "\n",
       "f.jsonl line 2: nested too deeply"},
      {kHeader + "{\"t\":0,\"faces\":0,\"x\":" + std::string(33, '[') + std::string(33, ']') +
           "}\n",
       "f.jsonl line 2: nested too deeply"},
      {kHeader + "{\"t\":0,\"faces\":0" + std::string(1 << 20, ' ') + "}\n",
       "f.jsonl line 2: line too long"},
  };
  for (const Case& c : cases) {
    auto f = parseFramesFile(c.text, "f.jsonl");
    ASSERT_FALSE(f) << c.text;
    EXPECT_EQ(f.message(), c.message) << c.text;
  }
}

TEST(FramesFile, NestingWithinBoundsAndBracketsInStringsAreFine) {
  // Brackets inside strings, escaped quotes among them, are text.
  const std::string text = kHeader + "{\"t\":0,\"faces\":0,\"note\":\"\\\"" +
                           std::string(100, '[') + "\",\"x\":" + std::string(30, '[') +
                           std::string(30, ']') + "}\n";
  auto f = parseFramesFile(text, "f.jsonl");
  EXPECT_TRUE(f) << f.message();
}

TEST(FramesFile, AMissingFileOrAFolderCannotBeRead) {
  for (const char* path : {"/nonexistent/frames.jsonl", "/tmp"}) {
    auto f = readFramesFile(path);
    ASSERT_FALSE(f);
    EXPECT_EQ(f.message(), std::string("cannot read ") + path);
  }
}

}  // namespace
}  // namespace talvex::overlay
