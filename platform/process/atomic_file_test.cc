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
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
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
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace talvex
