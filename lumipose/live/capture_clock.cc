#include "lumipose/live/capture_clock.h"

#include <time.h>

#include <cmath>

namespace talvex::lumipose {
namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
// How far a monotonic capture timestamp may plausibly lie from the moment its frame is
// handled: a frame is never captured in the future, and one handled seconds after its
// capture would have been dropped long before.
constexpr int64_t kMaxAheadNs = kNsPerSecond;
constexpr int64_t kMaxBehindNs = 10 * kNsPerSecond;

int64_t nanoseconds(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

}  // namespace

ClockPair readClocks() {
  // The wall clock is read between two monotonic readings and paired with their middle; a
  // pair whose readings a preemption pulled apart is read again.
  ClockPair best;
  int64_t bestGap = INT64_MAX;
  for (int i = 0; i < 3; ++i) {
    const int64_t before = nanoseconds(CLOCK_MONOTONIC);
    const int64_t wall = nanoseconds(CLOCK_REALTIME);
    const int64_t after = nanoseconds(CLOCK_MONOTONIC);
    if (after - before < bestGap) {
      bestGap = after - before;
      best = ClockPair{before + (after - before) / 2, wall};
    }
    if (bestGap < 20'000) break;
  }
  return best;
}

double captureWallClock(const media::MediaTime& pts, const ClockPair& now) {
  const double wallNow = static_cast<double>(now.wallNs) / kNsPerSecond;
  if (!pts.isNumeric() || pts.timescale <= 0) return wallNow;
  // Exact for the microsecond timestamps cameras give; other timescales round to 1 ns.
  const long double ptsNs =
      static_cast<long double>(pts.value) * kNsPerSecond / static_cast<long double>(pts.timescale);
  const long double ageNs = static_cast<long double>(now.monotonicNs) - ptsNs;
  if (!std::isfinite(static_cast<double>(ageNs)) || ageNs < -kMaxAheadNs || ageNs > kMaxBehindNs)
    return wallNow;
  return static_cast<double>(static_cast<long double>(now.wallNs) - ageNs) / kNsPerSecond;
}

}  // namespace talvex::lumipose
