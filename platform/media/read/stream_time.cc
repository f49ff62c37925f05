#include "platform/media/read/stream_time.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

namespace talvex::media {

MediaTime streamTime(int64_t ts, AVRational tb) {
  if (ts == AV_NOPTS_VALUE || tb.num <= 0 || tb.den <= 0) return MediaTime::invalid();
  int64_t value = 0;
  if (__builtin_mul_overflow(ts, static_cast<int64_t>(tb.num), &value)) return MediaTime::invalid();
  return MediaTime::make(value, tb.den);
}

int64_t toStreamTicks(const MediaTime& t, AVRational tb) {
  return av_rescale_q_rnd(t.value, AVRational{1, t.timescale}, tb,
                          static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

}  // namespace talvex::media
