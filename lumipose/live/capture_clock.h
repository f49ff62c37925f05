// The wall-clock moment of a camera frame, from the capture timestamp the camera gives it.
#pragma once

#include "platform/media/media_time.h"

namespace talvex::lumipose {

// The two clocks read as close together as the machine allows, in nanoseconds.
struct ClockPair {
  int64_t monotonicNs = 0;
  int64_t wallNs = 0;  // since 1970-01-01 00:00 UTC
};

ClockPair readClocks();

// Seconds since 1970 at which a frame stamped `pts` on the monotonic clock was captured,
// mapped through `now`. A timestamp that cannot be on the monotonic clock (invalid, more than
// 1 s ahead of `now`, or more than 10 s behind it: a driver stamping with another clock) gives
// the moment of `now` itself, as close as anything left to go by.
double captureWallClock(const media::MediaTime& pts, const ClockPair& now);

}  // namespace talvex::lumipose
