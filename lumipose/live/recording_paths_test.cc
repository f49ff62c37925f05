#include "lumipose/live/recording_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace talvex::lumipose {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class RecordingPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/recording_paths_test.XXXXXX";
    dir = ::mkdtemp(tmpl);
    std::ofstream(dir / "old.mov") << "x";
    fs::create_hard_link(dir / "old.mov", dir / "link.mov");
    fs::create_symlink(dir / "old.mov", dir / "alias.mov");
    fs::create_directory(dir / "empty");
    fs::create_directory_symlink(dir, dir / "here");
    ::mkfifo((dir / "fifo").c_str(), 0600);
    fs::create_symlink("/dev/null", dir / "null");
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string at(const std::string& name) const { return (dir / name).string(); }

  fs::path dir;
};

TEST_F(RecordingPaths, EachPathMustBeARegularFileOfItsOwn) {
  struct Case {
    std::string movie, frames, preview, failure;
  };
  const std::string p = at("preview.jpg");
  const Case cases[] = {
      {at("m.mov"), at("f.jsonl"), p, ""},
      {at("old.mov"), at("f.jsonl"), p, ""},  // a file is replaced
      {at("alias.mov"), at("f.jsonl"), p, ""},
      {at("fifo"), at("f.jsonl"), p, "not a regular file: " + at("fifo")},
      {at("m.mov"), at("fifo"), p, "not a regular file: " + at("fifo")},
      {at("empty"), at("f.jsonl"), p, "not a regular file: " + at("empty")},
      {at("null"), at("f.jsonl"), p, "not a regular file: " + at("null")},
      {at("m.mov"), "/dev/null", p, "not a regular file: /dev/null"},
      {at("m.mov"), at("m.mov"), p, "movie and frames are the same file: " + at("m.mov")},
      {at("m.mov"), at("here/m.mov"), p, "movie and frames are the same file: " + at("m.mov")},
      {at("old.mov"), at("link.mov"), p, "movie and frames are the same file: " + at("old.mov")},
      {at("alias.mov"), at("old.mov"), p, "movie and frames are the same file: " + at("alias.mov")},
      {p, at("f.jsonl"), p, "same file as the preview: " + p},
      {at("m.mov"), at("empty/../preview.jpg"), p,
       "same file as the preview: " + at("empty/../preview.jpg")},
      {at("m.mov"), "f.jsonl", "./f.jsonl", "same file as the preview: f.jsonl"},
      {at("m.mov\0.mov"s), at("f.jsonl"), p, "REC path with a NUL byte"},
      {at("m.mov"), at("f\0"s), p, "REC path with a NUL byte"},
  };
  for (const Case& c : cases) {
    const Status s = checkRecordingPaths(c.movie, c.frames, c.preview);
    EXPECT_EQ(s.message(), c.failure) << c.movie << " | " << c.frames;
  }
  // Nothing is created or removed by the check.
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_TRUE(fs::is_directory(dir / "empty"));
  EXPECT_FALSE(fs::exists(dir / "m.mov"));
}

TEST_F(RecordingPaths, PlacedFilesNoticeARemovalOrAReplacement) {
  PlacedFiles placed;
  std::ofstream(dir / "a") << "a";
  std::ofstream(dir / "b") << "b";
  fs::create_directory(dir / "sub");
  std::ofstream(dir / "sub" / "c") << "c";
  placed.add(at("a"));
  placed.add(at("b"));
  placed.add(at("sub/c"));
  placed.add(at("never-created"));  // not followed
  EXPECT_EQ(placed.missing(), std::vector<std::string>{});
  // Written to in place is still the same file.
  std::ofstream(dir / "a", std::ios::app) << "more";
  // Replaced by another file: made before the old one goes, so it cannot reuse its inode.
  std::ofstream(dir / "b2") << "another file";
  fs::rename(dir / "b2", dir / "b");
  fs::remove_all(dir / "sub");
  EXPECT_EQ(placed.missing(), (std::vector<std::string>{at("b"), at("sub/c")}));
}

}  // namespace
}  // namespace talvex::lumipose
