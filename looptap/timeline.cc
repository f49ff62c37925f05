#include "looptap/timeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace talvex::looptap {

Timeline::Timeline(double rate, uint32_t channels, Tuning tuning)
    : rate_(rate), channels_(channels), tuning_(tuning) {}

int64_t Timeline::framesAt(TimePoint t) const {
  const double secs = std::chrono::duration<double>(t - *origin_).count();
  return static_cast<int64_t>(std::llround(secs * rate_));
}

void Timeline::fillTo(int64_t target, Output& out) {
  const int64_t position = out.position();
  const int64_t missing = target - position;
  if (missing <= 0) return;
  if (!provisionalFrom_) provisionalFrom_ = position;
  (void)out.silence(missing);
}

void Timeline::releaseOldest(Output& out) {
  // The server's audio is continuous, and none of it sounded after it arrived: a buffer that
  // claims to end after the next one begins was stamped late (it waited, in the socket or for
  // this process) and ended when the next began. Going backwards from the newest buffer, the
  // least delayed one, gives a backlog read all at once the times it really covers.
  for (size_t i = held_.size() - 1; i-- > 0;) {
    const auto length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(held_[i].frames) / rate_));
    if (held_[i].sounded + length > held_[i + 1].sounded)
      held_[i].sounded = held_[i + 1].sounded - length;
  }

  Entry& first = held_.front();
  // Audio from before frame 0 is not part of the recording.
  const int64_t start = framesAt(first.sounded);
  if (start < 0) {
    const int64_t cut = std::min(-start, first.frames);
    first.samples.erase(first.samples.begin(),
                        first.samples.begin() + static_cast<std::ptrdiff_t>(cut * channels_));
    first.frames -= cut;
    first.sounded += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(cut) / rate_));
    if (first.frames == 0) {
      held_.pop_front();
      return;
    }
  }

  // Audio that sounded within the silence written for a stall takes its place.
  if (provisionalFrom_) {
    const int64_t belongs = std::max(*provisionalFrom_, framesAt(first.sounded));
    if (belongs < out.position()) out.truncate(belongs);
  }

  // The smallest lag of all held buffers against where they would land if written one after
  // another from here: only a lag that every later buffer shares is a gap.
  const int64_t position = out.position();
  int64_t queued = 0;
  int64_t gap = std::numeric_limits<int64_t>::max();
  for (const Entry& e : held_) {
    gap = std::min(gap, framesAt(e.sounded) - (position + queued));
    queued += e.frames;
  }
  const auto toleranceFrames =
      static_cast<int64_t>(std::chrono::duration<double>(tuning_.tolerance).count() * rate_);
  bool placed = true;
  if (gap > toleranceFrames) placed = out.silence(gap);
  // A gap that could not be written (the disk is full) leaves this buffer without a place:
  // writing it now would put it early. It is lost like the silence, and the next successful
  // write measures the gap again.
  if (placed) {
    out.audio(first);
    provisionalFrom_.reset();
  }
  held_.pop_front();
}

void Timeline::release(TimePoint now, Output& out) {
  if (!origin_) return;
  while (!held_.empty() && now - held_.front().arrived >= tuning_.hold) {
    // Whether a buffer is late is judged against the ones after it. A server that hands
    // over long buffers (PipeWire with a large quantum: up to 170 ms) may have none behind
    // the oldest yet; it waits for one, as long as a stall would take.
    if (held_.size() == 1 && now - held_.front().arrived < tuning_.stallAfter) break;
    releaseOldest(out);
  }
  if (held_.empty()) fillTo(framesAt(now - tuning_.stallAfter), out);
}

void Timeline::finish(std::optional<TimePoint> end, Output& out) {
  if (!origin_) return;
  while (!held_.empty()) releaseOldest(out);
  if (end) fillTo(framesAt(*end), out);
}

}  // namespace talvex::looptap
