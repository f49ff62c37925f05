#include "lumipose/live/capture_clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace talvex::lumipose {
namespace {

using media::MediaTime;

TEST(CaptureClock, ReadsBothClocksTogether) {
  using namespace std::chrono;
  const auto wallBefore = system_clock::now();
  const auto monoBefore = steady_clock::now();
  const ClockPair pair = readClocks();
  const auto monoAfter = steady_clock::now();
  const auto wallAfter = system_clock::now();
  auto ns = [](auto t) { return duration_cast<nanoseconds>(t.time_since_epoch()).count(); };
  // The standard clocks are the same kernel clocks, so the pair lies between the readings.
  EXPECT_GE(pair.monotonicNs, ns(monoBefore));
  EXPECT_LE(pair.monotonicNs, ns(monoAfter));
  EXPECT_GE(pair.wallNs, ns(wallBefore));
  EXPECT_LE(pair.wallNs, ns(wallAfter));
}

TEST(CaptureClock, MapsMonotonicCaptureTimesOntoTheWallClock) {
  // A wall clock at 2026-12-09 and a machine up for about 5000 s.
  const ClockPair now{5'000'123'456'789, 1'797'000'000'250'000'000};
  const double wall = 1'797'000'000.25;
  // A frame captured 40 ms before it is handled, in microseconds as V4L2 stamps it.
  EXPECT_DOUBLE_EQ(captureWallClock(MediaTime::make(5'000'083'456, 1'000'000), now),
                   wall - 0.040000789);
  // Other timescales are the same instant.
  EXPECT_NEAR(captureWallClock(MediaTime::make(450'007'511, 90'000), now), wall - 0.040000789,
              1e-6);
  // Late by seconds under load is still a capture time.
  EXPECT_NEAR(captureWallClock(MediaTime::make(4'991'123'456'789, 1'000'000'000), now), wall - 9.0,
              1e-6);
}

TEST(CaptureClock, ATimestampOnAnotherClockGivesTheHandlingMoment) {
  const ClockPair now{5'000'123'456'789, 1'797'000'000'250'000'000};
  const double wall = 1'797'000'000.25;
  // A driver stamping with the wall clock, one counting from the stream's start, one from an
  // unknown future, and no timestamp at all.
  EXPECT_DOUBLE_EQ(captureWallClock(MediaTime::make(1'797'000'000'240'000, 1'000'000), now), wall);
  EXPECT_DOUBLE_EQ(captureWallClock(MediaTime::make(3'000'000, 1'000'000), now), wall);
  EXPECT_DOUBLE_EQ(captureWallClock(MediaTime::make(5'002'000'000, 1'000'000), now), wall);
  EXPECT_DOUBLE_EQ(captureWallClock(MediaTime::invalid(), now), wall);
  // A slightly early clock is accepted as it stands.
  EXPECT_NEAR(captureWallClock(MediaTime::make(5'000'133'456, 1'000'000), now), wall + 0.01, 1e-6);
}

}  // namespace
}  // namespace talvex::lumipose
