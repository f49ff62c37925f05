#include "lumipose/analyze/progress_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <thread>

namespace talvex::lumipose {
namespace {

TEST(ProgressText, PercentPaceAndTimeLeft) {
  // A quarter of a 60 s movie in 5 s of work: 15 s more at that pace.
  EXPECT_EQ(progressText(15, 60, 450, 5), "analysing  25%  90 frames/s  0:15 left");
  EXPECT_EQ(progressText(60, 60, 1800, 20), "analysing 100%  90 frames/s  0:00 left");
  EXPECT_EQ(progressText(0, 60, 1, 0), "analysing   0%  0 frames/s  -:-- left");
  EXPECT_EQ(progressText(100, 7200, 3000, 100), "analysing   1%  30 frames/s  1:58:20 left");
  // A movie that does not say how long it is: the frame count instead.
  EXPECT_EQ(progressText(3, 0, 90, 2), "analysing  90 frames  45 frames/s");
  // A frame past the stated duration does not go beyond 100% or below no time left.
  EXPECT_EQ(progressText(61, 60, 1830, 20), "analysing 100%  92 frames/s  0:00 left");
}

std::string drain(int fd) {
  std::string got;
  char buf[4096];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(ProgressLine, WritesNothingThroughAPipe) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_NONBLOCK), 0);
  {
    ProgressLine line(p[1], 10);
    for (int i = 1; i <= 30; ++i) line.frame(i, i / 30.0);
    line.finish();
  }
  ::close(p[1]);
  EXPECT_EQ(drain(p[0]), "");
  ::close(p[0]);
}

TEST(ProgressLine, UpdatesOneTerminalLineInPlaceAndClearsIt) {
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  {
    ProgressLine line(slave, 10);
    line.frame(1, 0);
    line.frame(2, 0.033);  // too soon after the first: not shown
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    line.frame(150, 5);
    line.finish();
    line.finish();  // a second finish writes nothing more
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string got = drain(master);
  ::close(slave);
  ::close(master);
  ASSERT_EQ(got.rfind("\r\x1b[K"), got.size() - 4) << got;  // ends erased
  EXPECT_EQ(got.find('\n'), std::string::npos) << "never a new line";
  EXPECT_NE(got.find("\ranalysing   0%"), std::string::npos) << got;
  EXPECT_NE(got.find("\ranalysing  50%"), std::string::npos) << got;
  // Three writes: two updates and the erase; the second frame came too soon to be shown.
  size_t returns = 0;
  for (char ch : got) returns += ch == '\r';
  EXPECT_EQ(returns, 3u);
}

}  // namespace
}  // namespace talvex::lumipose
