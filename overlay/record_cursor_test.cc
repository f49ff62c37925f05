#include "overlay/record_cursor.h"

#include <gtest/gtest.h>

namespace talvex::overlay {
namespace {

std::vector<Record> recordsAt(std::initializer_list<double> times) {
  std::vector<Record> out;
  for (double t : times) {
    Record r;
    r.t = t;
    out.push_back(r);
  }
  return out;
}

TEST(RecordCursor, EachRecordHoldsUntilTheNext) {
  // Every third frame at 30 fps, t rounded to the millisecond as the analysis writes it.
  const auto records = recordsAt({0.067, 0.167, 0.267});
  RecordCursor cursor(records);
  const double frame = 1.0 / 30;
  EXPECT_EQ(cursor.at(0 * frame), nullptr);
  EXPECT_EQ(cursor.at(1 * frame), nullptr);
  // Frame 3 is at 0.0666..., before the rounded 0.067: still its own record.
  EXPECT_EQ(cursor.at(2 * frame), &records[0]);
  EXPECT_EQ(cursor.at(3 * frame), &records[0]);
  EXPECT_EQ(cursor.at(4 * frame), &records[0]);
  EXPECT_EQ(cursor.at(5 * frame), &records[1]);
  EXPECT_EQ(cursor.reached(), 2u);
  EXPECT_EQ(cursor.at(100), &records[2]);  // the last one holds to the end
  EXPECT_EQ(cursor.reached(), 3u);
}

TEST(RecordCursor, AFrameSkipsRecordsItPassed) {
  const auto records = recordsAt({0.1, 0.2, 0.3, 0.4});
  RecordCursor cursor(records);
  EXPECT_EQ(cursor.at(0.35), &records[2]);
  EXPECT_EQ(cursor.at(0.36), &records[2]);
  EXPECT_EQ(cursor.at(0.3999), &records[3]);  // within half a millisecond
}

TEST(EvenlySpaced, FirstAndLastIncluded) {
  EXPECT_EQ(evenlySpaced(100, 4), (std::vector<size_t>{0, 33, 66, 99}));
  EXPECT_EQ(evenlySpaced(3, 12), (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(evenlySpaced(5, 1), (std::vector<size_t>{0}));
  EXPECT_TRUE(evenlySpaced(0, 12).empty());
}

}  // namespace
}  // namespace talvex::overlay
