#include "platform/process/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>

namespace talvex {
namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Each way of letting a descriptor go closes it exactly once, and only from its one owner.
TEST(UniqueFd, ClosesWhatItOwnsOnceAndNothingElse) {
  int raw = -1;
  {
    UniqueFd a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    raw = a.get();
    ASSERT_TRUE(a.valid());
    UniqueFd b(std::move(a));  // a moved-from holder closes nothing
    EXPECT_FALSE(a.valid());
    UniqueFd c;
    c = std::move(b);
    EXPECT_EQ(c.get(), raw);
    EXPECT_TRUE(isOpen(raw));
  }
  EXPECT_FALSE(isOpen(raw));

  UniqueFd d(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  raw = d.get();
  d.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_FALSE(isOpen(raw));
  raw = d.get();
  EXPECT_EQ(d.close(), 0);
  EXPECT_FALSE(isOpen(raw));
  EXPECT_EQ(d.close(), 0);  // nothing left to close

  UniqueFd e(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  raw = e.release();
  e.reset();
  EXPECT_TRUE(isOpen(raw));
  ::close(raw);
}

}  // namespace
}  // namespace talvex
