#include "platform/media/media_time.h"

#include <cmath>
#include <limits>
#include <numeric>

namespace talvex::media {
namespace {

MediaTime withFlags(uint32_t extra) { return MediaTime{0, 1, MediaTime::kValid | extra, 0}; }

// Rescales `t` to `timescale`, rounding to nearest; sets `rounded` when not exact.
bool rescale(const MediaTime& t, int32_t timescale, __int128& out, bool& rounded) {
  __int128 num = static_cast<__int128>(t.value) * timescale;
  __int128 q = num / t.timescale;
  __int128 r = num % t.timescale;
  if (r != 0) {
    rounded = true;
    __int128 twice = (r < 0 ? -r : r) * 2;
    if (twice >= t.timescale) q += (num < 0 ? -1 : 1);
  }
  out = q;
  return true;
}

MediaTime combine(const MediaTime& a, const MediaTime& b, int sign) {
  if (!a.isValid() || !b.isValid()) return MediaTime::invalid();
  if ((a.flags & MediaTime::kIndefinite) || (b.flags & MediaTime::kIndefinite))
    return withFlags(MediaTime::kIndefinite);
  const bool aPos = a.flags & MediaTime::kPositiveInfinity,
             aNeg = a.flags & MediaTime::kNegativeInfinity;
  bool bPos = b.flags & MediaTime::kPositiveInfinity, bNeg = b.flags & MediaTime::kNegativeInfinity;
  if (sign < 0) std::swap(bPos, bNeg);
  if ((aPos && bNeg) || (aNeg && bPos)) return MediaTime::invalid();
  if (aPos || bPos) return withFlags(MediaTime::kPositiveInfinity);
  if (aNeg || bNeg) return withFlags(MediaTime::kNegativeInfinity);

  int64_t lcm = std::lcm(static_cast<int64_t>(a.timescale), static_cast<int64_t>(b.timescale));
  int32_t scale = lcm <= std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(lcm)
                                                             : std::max(a.timescale, b.timescale);
  bool rounded = ((a.flags | b.flags) & MediaTime::kHasBeenRounded) != 0;
  __int128 av = 0, bv = 0;
  rescale(a, scale, av, rounded);
  rescale(b, scale, bv, rounded);
  __int128 sum = av + (sign < 0 ? -bv : bv);
  if (sum > std::numeric_limits<int64_t>::max()) return withFlags(MediaTime::kPositiveInfinity);
  if (sum < std::numeric_limits<int64_t>::min()) return withFlags(MediaTime::kNegativeInfinity);
  MediaTime r = MediaTime::make(static_cast<int64_t>(sum), scale);
  if (rounded) r.flags |= MediaTime::kHasBeenRounded;
  r.epoch = a.epoch;
  return r;
}

}  // namespace

MediaTime MediaTime::fromSeconds(double seconds, int32_t preferredTimescale) {
  if (std::isnan(seconds) || preferredTimescale <= 0) return invalid();
  if (std::isinf(seconds)) return withFlags(seconds > 0 ? kPositiveInfinity : kNegativeInfinity);
  int32_t scale = preferredTimescale;
  while (true) {
    long double v = std::round(static_cast<long double>(seconds) * scale);
    if (std::fabs(v) < 9.2e18L) {
      MediaTime t = make(static_cast<int64_t>(v), scale);
      if (static_cast<long double>(t.value) != static_cast<long double>(seconds) * scale)
        t.flags |= kHasBeenRounded;
      return t;
    }
    if (scale == 1) return withFlags(seconds > 0 ? kPositiveInfinity : kNegativeInfinity);
    scale = std::max(1, scale / 2);
  }
}

double MediaTime::seconds() const {
  if (!isValid() || (flags & kIndefinite)) return std::numeric_limits<double>::quiet_NaN();
  if (flags & kPositiveInfinity) return std::numeric_limits<double>::infinity();
  if (flags & kNegativeInfinity) return -std::numeric_limits<double>::infinity();
  return static_cast<double>(value) / static_cast<double>(timescale);
}

MediaTime subtract(const MediaTime& a, const MediaTime& b) { return combine(a, b, -1); }
MediaTime add(const MediaTime& a, const MediaTime& b) { return combine(a, b, 1); }

int compare(const MediaTime& a, const MediaTime& b) {
  if (!a.isValid() || !b.isValid()) return a.isValid() - b.isValid();
  auto rank = [](const MediaTime& t) {
    if (t.flags & MediaTime::kNegativeInfinity) return -1;
    if (t.flags & (MediaTime::kPositiveInfinity | MediaTime::kIndefinite)) return 1;
    return 0;
  };
  if (rank(a) != rank(b) || rank(a) != 0) return (rank(a) > rank(b)) - (rank(a) < rank(b));
  __int128 l = static_cast<__int128>(a.value) * b.timescale;
  __int128 r = static_cast<__int128>(b.value) * a.timescale;
  return (l > r) - (l < r);
}

}  // namespace talvex::media
