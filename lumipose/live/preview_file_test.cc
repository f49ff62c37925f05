#include "lumipose/live/preview_file.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <semaphore>

namespace talvex::lumipose {
namespace {

namespace fs = std::filesystem;

// A file write that can be held back, as a rename on a busy file system is, and that keeps
// the first byte of each picture it wrote.
struct HeldWrites {
  std::mutex mu;
  std::condition_variable cv;
  bool held = true;
  std::vector<uint8_t> written;
  std::binary_semaphore started{0};

  Status operator()(const std::string&, std::span<const uint8_t> bytes) {
    started.release();
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return !held; });
    written.push_back(bytes[0]);
    return Status::ok();
  }
  void release() {
    std::lock_guard lock(mu);
    held = false;
    cv.notify_all();
  }
};

TEST(PreviewFileTest, AStalledWriteHoldsUpNoOfferAndOnlyTheNewestPictureWaits) {
  HeldWrites writes;
  PreviewFile file("/unused", {}, std::ref(writes));
  file.offer({1});
  writes.started.acquire();                          // picture 1 is being written, and stays so
  for (uint8_t i = 2; i <= 9; ++i) file.offer({i});  // returns at once, each replacing the last
  writes.release();
  file.remove();  // waits for the write under way; picture 9 may or may not have followed
  ASSERT_GE(writes.written.size(), 1u);
  EXPECT_EQ(writes.written[0], 1);
  EXPECT_LE(writes.written.size(), 2u);
  if (writes.written.size() == 2) {
    EXPECT_EQ(writes.written[1], 9);
  }
}

TEST(PreviewFileTest, NothingIsWrittenAfterRemove) {
  char tmpl[] = "/tmp/preview_file_test.XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const fs::path path = dir / "preview.jpg";
  {
    PreviewFile file(path.string(), {});
    file.offer({0xff, 0xd8});
    file.remove();
    EXPECT_FALSE(fs::exists(path));
    file.offer({0xff, 0xd8});
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace talvex::lumipose
