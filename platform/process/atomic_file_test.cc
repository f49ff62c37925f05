#include "platform/process/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace talvex {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

int entryCount(const fs::path& dir) {
  return static_cast<int>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(AtomicFile, ReplacesTheFileAndLeavesNoTemporary) {
  char tmpl[] = "/tmp/atomic_file_test.XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const fs::path target = dir / "p.jpg";
  ASSERT_TRUE(writeFileAtomically(target.string(), bytes("first, longer contents")));
  ASSERT_TRUE(writeFileAtomically(target.string(), bytes("second")));
  EXPECT_EQ(slurp(target), "second");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(entryCount(dir), 1);
  fs::remove_all(dir);
}

TEST(AtomicFile, FailsWithoutTraceInAMissingDirectoryOrOverADirectory) {
  EXPECT_FALSE(writeFileAtomically("/nonexistent-dir/p.jpg", bytes("x")));
  char tmpl[] = "/tmp/atomic_file_test.XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  fs::create_directory(dir / "busy");
  // Renaming a file over a non-empty directory fails; the temporary must go too.
  std::ofstream(dir / "busy" / "keep") << "k";
  EXPECT_FALSE(writeFileAtomically((dir / "busy").string(), bytes("x")));
  EXPECT_EQ(entryCount(dir), 1);
  fs::remove_all(dir);
}

TEST(AtomicFile, NamesThatFillTheLimitAreWrittenToo) {
  char tmpl[] = "/tmp/atomic_file_test.XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  std::string accented;
  for (int i = 0; i < 127; ++i) accented += "\xc3\xa9";
  for (const std::string& name : {std::string(248, 'p'), std::string(255, 'p'), accented}) {
    const fs::path target = dir / name;
    const Status written = writeFileAtomically(target.string(), bytes("jpeg"));
    EXPECT_TRUE(written) << name.size() << ": " << written.message();
    EXPECT_EQ(slurp(target), "jpeg");
  }
  EXPECT_EQ(entryCount(dir), 3);
  fs::remove_all(dir);
}

TEST(AtomicFile, OnlyARegularFileOrNothingMayBeReplaced) {
  char tmpl[] = "/tmp/atomic_file_test.XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  std::ofstream(dir / "file") << "f";
  fs::create_symlink(dir / "file", dir / "link");
  fs::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", dir / "null");
  const std::pair<std::string, bool> cases[] = {
      {"file", true},  {"link", true},  {"absent", true},   {"folder", false},
      {"fifo", false}, {"null", false}, {"absent/x", true},
  };
  for (const auto& [name, replaceable] : cases) {
    const std::string p = (dir / name).string();
    const Status s = checkReplaceable(p);
    EXPECT_EQ(s.message(), replaceable ? "" : "not a regular file: " + p) << name;
  }
  EXPECT_EQ(checkReplaceable("/dev/null").message(), "not a regular file: /dev/null");
  fs::remove_all(dir);
}

// A writer renames its temporary over the target, so the temporary must sit beside it, be
// hidden, be new on every call, and exist even when the target's name fills the limit.
TEST(AtomicFile, TemporariesBesideTheTargetAreHiddenDistinctAndFitTheNameLimit) {
  char tmpl[] = "/tmp/atomic_file_test.XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  std::string accented;
  for (int i = 0; i < 127; ++i) accented += "\xc3\xa9";  // 254 bytes of two-byte characters
  for (const std::string& name : {std::string("out.mov"), std::string(255, 'n'), accented}) {
    const auto first = createTemporaryBeside((dir / name).string());
    const auto second = createTemporaryBeside((dir / name).string());
    ASSERT_TRUE(first) << first.message();
    ASSERT_TRUE(second) << second.message();
    EXPECT_NE(first.value(), second.value());
    const fs::path temp(first.value());
    EXPECT_TRUE(fs::is_regular_file(temp));
    EXPECT_EQ(temp.parent_path(), dir);
    const std::string file = temp.filename().string();
    EXPECT_LE(file.size(), 255u);
    ASSERT_EQ(file[0], '.');
    // What is kept of the target's name is a prefix cut between characters.
    const std::string kept = file.substr(1, file.size() - 1 - std::string(".01234567.part").size());
    EXPECT_EQ(name.compare(0, kept.size(), kept), 0) << file;
    if (name == accented) {
      EXPECT_EQ(kept.size() % 2, 0u) << file;
    }
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace talvex
