// Exact rational media time: value / timescale seconds, with validity flags and an epoch.
#pragma once

#include <cstdint>

namespace talvex::media {

struct MediaTime {
  enum Flags : uint32_t {
    kValid = 1u << 0,
    kHasBeenRounded = 1u << 1,
    kPositiveInfinity = 1u << 2,
    kNegativeInfinity = 1u << 3,
    kIndefinite = 1u << 4,
  };

  int64_t value = 0;
  int32_t timescale = 0;
  uint32_t flags = 0;
  int64_t epoch = 0;

  static MediaTime make(int64_t value, int32_t timescale) {
    return MediaTime{value, timescale, timescale > 0 ? uint32_t{kValid} : 0u, 0};
  }
  static MediaTime zero() { return make(0, 1); }
  static MediaTime invalid() { return MediaTime{}; }
  // The time nearest to `seconds` in `preferredTimescale` units (halves away from zero). NaN
  // gives an invalid time and infinities give the infinite times. When the value would not fit
  // in 64 bits the timescale is reduced until it does, and the result is marked rounded.
  static MediaTime fromSeconds(double seconds, int32_t preferredTimescale);

  bool isValid() const { return (flags & kValid) != 0; }
  bool isNumeric() const {
    return isValid() && (flags & (kPositiveInfinity | kNegativeInfinity | kIndefinite)) == 0;
  }
  // value / timescale as a double; NaN for invalid or indefinite times, +-inf for infinities.
  double seconds() const;
};

// a - b, exact when the result fits: both are brought to a common timescale (their least
// common multiple, or the larger of the two with rounding when that overflows).
MediaTime subtract(const MediaTime& a, const MediaTime& b);
MediaTime add(const MediaTime& a, const MediaTime& b);
// -1, 0 or 1; invalid times order before all valid ones.
int compare(const MediaTime& a, const MediaTime& b);

}  // namespace talvex::media
