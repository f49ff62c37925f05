#include "platform/process/output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace talvex {
namespace {

// Lines written from many threads at once arrive whole: every line read back is one of the
// lines written, never a mix.
TEST(Say, LinesFromManyThreadsNeverInterleave) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(fds[1], STDERR_FILENO);
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        say("LINE:" + std::to_string(t) + ":" + std::string(40, char('a' + t)));
    });
  for (auto& w : writers) w.join();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);

  size_t lines = 0, pos = 0, nl;
  while ((nl = got.find('\n', pos)) != std::string::npos) {
    std::string l = got.substr(pos, nl - pos);
    pos = nl + 1;
    ++lines;
    ASSERT_EQ(l.size(), 47u) << l;
    const char c = l.back();
    EXPECT_EQ(l, "LINE:" + std::to_string(c - 'a') + ":" + std::string(40, c));
  }
  EXPECT_EQ(lines, 1600u);
  EXPECT_EQ(pos, got.size());
}

}  // namespace
}  // namespace talvex
