#include "lumipose/cli/offset.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

namespace talvex::lumipose {
namespace {

TEST(ParseOffset, AcceptsWholeStrtodSyntax) {
  EXPECT_EQ(parseOffset("0.25"), 0.25);
  EXPECT_EQ(parseOffset("-1.5e-1"), -0.15);
  EXPECT_EQ(parseOffset("+2"), 2.0);
  EXPECT_EQ(parseOffset("0x1p-2"), 0.25);
  EXPECT_EQ(parseOffset("-inf"), -INFINITY);
  ASSERT_TRUE(parseOffset("nan"));
  EXPECT_TRUE(std::isnan(*parseOffset("nan")));
}

TEST(ParseOffset, RefusesPartialOrPaddedText) {
  for (const char* bad : {"", "x", "0.25s", " 0.25", "\t1", "0.25 ", "1,5", "."})
    EXPECT_FALSE(parseOffset(bad)) << '"' << bad << '"';
}

TEST(ParseOffset, IgnoresTheEnvironmentsLocale) {
  // A locale with a decimal comma must not change how "0.25" reads.
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) std::setlocale(LC_ALL, "C.UTF-8");
  EXPECT_EQ(parseOffset("0.25"), 0.25);
  EXPECT_FALSE(parseOffset("0,25"));
  std::setlocale(LC_ALL, "C");
}

}  // namespace
}  // namespace talvex::lumipose
