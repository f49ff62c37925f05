#include "record/frames_tail.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace talvex::record {
namespace {

// The file grows in pieces as live writes it; each step is what has been written so far and
// what the tail must make of it. Only whole lines count.
TEST(FramesTail, FollowsAGrowingFileByWholeLines) {
  char dir[] = "/tmp/frames_tail.XXXXXX";
  ASSERT_TRUE(::mkdtemp(dir));
  const std::string path = std::string(dir) + "/f.jsonl";
  struct Step {
    std::string appended;
    std::optional<double> epoch;
    int records, faces;
  } steps[] = {
      {"", std::nullopt, 0, 0},  // not there yet
      {"{\"start_epoch\":1765300000.", std::nullopt, 0, 0},
      {"123}\n{\"t\":0,\"faces\":1,", 1765300000.123, 0, 0},
      {"\"box\":[0.1,0.2,0.3,0.4]}\n{\"t\":0.1,\"faces\":2}\n", 1765300000.123, 2, 2},
      {"{\"t\":0.2,\"faces\":0}\n{\"t\":0.3,\"fa", 1765300000.123, 3, 0},
  };
  FramesTail tail(path);
  for (const Step& s : steps) {
    if (!s.appended.empty()) std::ofstream(path, std::ios::app) << s.appended;
    tail.update();
    EXPECT_EQ(tail.startEpoch(), s.epoch) << s.appended;
    EXPECT_EQ(tail.records(), s.records) << s.appended;
    EXPECT_EQ(tail.faces(), s.faces) << s.appended;
  }
  std::filesystem::remove_all(dir);
}

TEST(FramesTail, AHeaderWithoutAMomentGivesNoOffset) {
  char dir[] = "/tmp/frames_tail.XXXXXX";
  ASSERT_TRUE(::mkdtemp(dir));
  for (const char* header : {"{\"start_epoch\":0}", "{\"start_epoch\":\"x\"}", "not json", "{}"}) {
    const std::string path = std::string(dir) + "/f.jsonl";
    std::ofstream(path, std::ios::trunc) << header << "\n{\"t\":0,\"faces\":1}\n";
    FramesTail tail(path);
    tail.update();
    EXPECT_FALSE(tail.startEpoch()) << header;
    EXPECT_EQ(tail.records(), 1) << header;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace talvex::record
