#include "lumipose/output/line_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/small_disk.h"

namespace talvex::lumipose {
namespace {

namespace fs = std::filesystem;

class LineWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("lw_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string read(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  fs::path dir;
};

TEST_F(LineWriterTest, TruncatesExistingFileAndWritesCompactLines) {
  fs::path p = dir / "frames.jsonl";
  std::ofstream(p) << std::string(1000, 'x');
  auto opened = LineWriter::open(p.string());
  ASSERT_TRUE(opened) << opened.message();
  auto& w = *opened;
  EXPECT_EQ(fs::file_size(p), 0u);
  w->write(nlohmann::json{{"start_epoch", 0}});
  w->write(nlohmann::json::object());
  nlohmann::ordered_json rec;
  rec["t"] = 0.1;
  rec["box"] = {0.25, 0.2, 0.2, 0.3};
  rec["faces"] = 1;
  w->write(rec);
  EXPECT_TRUE(w->close());
  EXPECT_EQ(read(p),
            "{\"start_epoch\":0}\n{}\n{\"t\":0.1,\"box\":[0.25,0.2,0.2,0.3],\"faces\":1}\n");
}

TEST_F(LineWriterTest, NonFiniteRecordIsSkippedAndWriterStaysUsable) {
  fs::path p = dir / "f.jsonl";
  auto opened = LineWriter::open(p.string());
  ASSERT_TRUE(opened) << opened.message();
  auto& w = *opened;
  w->write(nlohmann::json{{"a", 1}});
  w->write(nlohmann::json{{"t", std::nan("")}});
  w->write(nlohmann::json{{"x", {1.0, INFINITY}}});
  w->write(nlohmann::json{{"s", "\xff"}});  // not UTF-8
  w->write(nlohmann::json{{"b", 2}});
  EXPECT_TRUE(w->close());
  EXPECT_EQ(read(p), "{\"a\":1}\n{\"b\":2}\n");
}

TEST_F(LineWriterTest, MissingDirectoryGivesNoWriterAndCreatesNothing) {
  auto opened = LineWriter::open((dir / "missing" / "f.jsonl").string());
  ASSERT_FALSE(opened);
  EXPECT_NE(opened.message().find("No such file or directory"), std::string::npos)
      << opened.message();
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(LineWriterTest, NeverWrittenFileStaysEmptyAndDestructorCloses) {
  fs::path p = dir / "empty.jsonl";
  { auto w = LineWriter::open(p.string()); }
  EXPECT_EQ(fs::file_size(p), 0u);
}

TEST_F(LineWriterTest, FullDiskTakesBackTheCutLineAndStopsTheWriter) {
  testing::SmallDisk disk(4096);
  ASSERT_TRUE(disk.mounted()) << disk.error();
  const std::string p = disk.file("f.jsonl");
  auto opened = LineWriter::open(p);
  ASSERT_TRUE(opened) << opened.message();
  auto& w = *opened;
  const nlohmann::json record{{"pad", std::string(90, 'x')}};  // 101 bytes a line
  int written = 0;
  while (w->write(record)) ++written;
  // 40 whole lines fit into 4096 bytes; the 41st was cut by the disk and taken back.
  EXPECT_EQ(written, 40);
  ASSERT_TRUE(w->error());
  EXPECT_EQ(*w->error(), "No space left on device");
  EXPECT_EQ(fs::file_size(p), 40u * 101u);
  // The space that comes back later is not used: the file must not skip a stretch of lines.
  disk.fill(".other");
  fs::remove(disk.file(".other"));
  EXPECT_FALSE(w->write(nlohmann::json{{"a", 1}}));
  EXPECT_FALSE(w->close());
  const std::string text = read(p);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find("{\"a\""), std::string::npos);
}

TEST_F(LineWriterTest, DeviceThatTakesNothingFailsTheFirstLine) {
  auto opened = LineWriter::open("/dev/full");
  ASSERT_TRUE(opened) << opened.message();
  auto& w = *opened;
  EXPECT_FALSE(w->write(nlohmann::json{{"start_epoch", 0}}));
  ASSERT_TRUE(w->error());
  EXPECT_EQ(*w->error(), "No space left on device");
  // A record with no JSON form is still only skipped, and says the writer has failed.
  EXPECT_FALSE(w->write(nlohmann::json{{"t", std::nan("")}}));
}

TEST_F(LineWriterTest, HealthyWriterReportsSuccessThroughClose) {
  auto opened = LineWriter::open((dir / "ok.jsonl").string());
  ASSERT_TRUE(opened) << opened.message();
  auto& w = *opened;
  EXPECT_TRUE(w->write(nlohmann::json{{"a", 1}}));
  EXPECT_TRUE(w->write(nlohmann::json{{"t", std::nan("")}}));  // skipped, not a failure
  EXPECT_FALSE(w->error());
  EXPECT_TRUE(w->close());
  EXPECT_EQ(read(dir / "ok.jsonl"), "{\"a\":1}\n");
}

}  // namespace
}  // namespace talvex::lumipose
