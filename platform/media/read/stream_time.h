// Stream timestamps as media times. Internal to platform/media.
#pragma once

extern "C" {
#include <libavutil/rational.h>
}

#include <cstdint>

#include "platform/media/media_time.h"

namespace talvex::media {

// `ts` in units of `tb`, exactly: timescale tb.den, value ts * tb.num. Invalid when the
// timestamp is unknown or does not fit.
MediaTime streamTime(int64_t ts, AVRational tb);

// `t` in units of `tb`, rounded to nearest.
int64_t toStreamTicks(const MediaTime& t, AVRational tb);

}  // namespace talvex::media
