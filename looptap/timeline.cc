#include "looptap/timeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace talvex::looptap {

Timeline::Timeline(double rate, uint32_t channels, Tuning tuning)
    : rate_(rate), channels_(channels), tuning_(tuning) {}

Clock::duration Timeline::durationOf(const Entry& e) const {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(e.frames) / rate_));
}

void Timeline::add(Entry entry) {
  if (burst_ && entry.arrived > burst_->boundary) countInBurst(entry);
  held_.push_back(std::move(entry));
}

void Timeline::countInBurst(const Entry& e) {
  Burst& b = *burst_;
  b.frames += e.frames;
  b.entries += 1;
  // The server hands its queue over far faster than it plays it: while it does, the audio
  // received runs further ahead of the time since waking.
  const auto ahead = std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(static_cast<double>(b.frames) / rate_)) -
                     (e.arrived - b.until);
  if (ahead > b.peakAhead + tuning_.tolerance) {
    b.peakAhead = ahead;
    b.peakAt = e.arrived;
  }
}

void Timeline::frozen(TimePoint from, TimePoint until) {
  if (burst_) endBurst();
  // The process stopped within a tick of `from` and noticed within a tick of `until`: buffers
  // that came in the second half of the span came after it.
  burst_ = Burst{lastEnd_.value_or(from), until, from + (until - from) / 2, until};
  for (const Entry& e : held_) {
    if (e.arrived <= burst_->boundary)
      burst_->from = e.sounded + durationOf(e);
    else
      countInBurst(e);
  }
}

void Timeline::endBurst() {
  const Burst b = *burst_;
  burst_.reset();
  std::vector<Entry*> entries;
  for (Entry& e : held_)
    if (e.arrived > b.boundary) entries.push_back(&e);
  if (entries.empty()) return;
  if (b.peakAhead > tuning_.tolerance) {
    // The server's queue. Its freshest audio, at its end, carries its true moment; what
    // sounded since the process woke was queued behind the rest without a drop. The older part
    // continues from before the freeze; between the two lies what the server could not hold.
    TimePoint end = entries.back()->sounded + durationOf(*entries.back());
    size_t oldest = entries.size();
    while (oldest > 0 && end > b.until) {
      Entry* e = entries[--oldest];
      end -= durationOf(*e);
      e->sounded = end;
    }
    TimePoint at = b.from;
    for (size_t i = 0; i < oldest; ++i) {
      entries[i]->sounded = at;
      at += durationOf(*entries[i]);
    }
    if (end - at > tuning_.tolerance) lost_ = end - at;
    return;
  }
  // Audio at the server's own pace: what sounded before it was not handed over at all.
  const TimePoint next = entries.front()->sounded;
  if (next - b.from > tuning_.tolerance) lost_ = next - b.from;
}

int64_t Timeline::framesAt(TimePoint t) const {
  const double secs = std::chrono::duration<double>(t - *origin_).count();
  return static_cast<int64_t>(std::llround(secs * rate_));
}

namespace {

// Smaller differences are noise in the moments the buffers carry; writing audio again for
// them would cost more than it corrects.
constexpr double kReclaimAtLeastSeconds = 0.002;

int64_t lengthOf(const std::variant<int64_t, Timeline::Entry>& piece) {
  if (const auto* run = std::get_if<int64_t>(&piece)) return *run;
  return std::get<Timeline::Entry>(piece).frames;
}

}  // namespace

void Timeline::fillTo(int64_t target, Output& out) {
  const int64_t position = out.position();
  if (target <= position) return;
  (void)out.silence(target - position);
  wroteSilence(position, out.position());
}

void Timeline::wroteSilence(int64_t at, int64_t end) {
  if (end <= at) return;
  endsInAudio_ = false;
  // Anything else written in between (never, short of a failed write) ends the bookkeeping.
  if (!tail_.empty() && at != tailEnd_) tail_.clear();
  if (tail_.empty()) {
    tailFrom_ = at;
    tailAudio_ = 0;
  }
  tailEnd_ = end;
  if (!tail_.empty() && std::holds_alternative<int64_t>(tail_.back()))
    std::get<int64_t>(tail_.back()) += end - at;
  else
    tail_.emplace_back(end - at);
}

void Timeline::wroteAudio(int64_t at, int64_t end, Entry entry) {
  if (tail_.empty()) return;
  if (at != tailEnd_ || end - at != entry.frames) {
    tail_.clear();
    return;
  }
  tailEnd_ = end;
  tailAudio_ += entry.frames;
  tail_.emplace_back(std::move(entry));
  // Silence that `settle` of audio has followed stays; so does audio before the first
  // provisional silence, which nothing will move.
  const auto settle = static_cast<int64_t>(
      std::llround(std::chrono::duration<double>(tuning_.settle).count() * rate_));
  while (!tail_.empty()) {
    if (const auto* e = std::get_if<Entry>(&tail_.front()))
      tailAudio_ -= e->frames;
    else if (tailAudio_ < settle)
      break;
    tailFrom_ += lengthOf(tail_.front());
    tail_.pop_front();
  }
}

int64_t Timeline::provisionalSilence() const {
  int64_t n = 0;
  for (const Piece& p : tail_)
    if (const auto* run = std::get_if<int64_t>(&p)) n += *run;
  return n;
}

void Timeline::reclaim(int64_t frames, Output& out) {
  // From the latest silence back: `from` ends at the earliest run that shrinks.
  size_t from = tail_.size();
  for (int64_t left = frames; left > 0 && from > 0;) {
    if (auto* run = std::get_if<int64_t>(&tail_[--from])) {
      const int64_t take = std::min(left, *run);
      *run -= take;
      left -= take;
    }
  }
  int64_t at = tailFrom_;
  for (size_t i = 0; i < from; ++i) at += lengthOf(tail_[i]);
  std::erase_if(tail_, [](const Piece& p) {
    const auto* run = std::get_if<int64_t>(&p);
    return run && *run == 0;
  });
  out.truncate(at);
  int64_t expected = at;
  for (size_t i = from; i < tail_.size(); ++i) {
    if (auto* e = std::get_if<Entry>(&tail_[i]))
      out.audio(*e);
    else
      (void)out.silence(std::get<int64_t>(tail_[i]));
    expected += lengthOf(tail_[i]);
  }
  tailEnd_ = expected;
  // With all of its silence gone the tail ends in audio, or is empty and the file ends where
  // it began: in audio, unless that is the file's start.
  endsInAudio_ = tail_.empty() ? tailFrom_ > 0 : std::holds_alternative<Entry>(tail_.back());
  if (out.position() != expected || provisionalSilence() == 0) tail_.clear();
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

  // Audio that belongs before the file's end shows that the provisional silence before it is
  // too long by as much.
  const int64_t ahead = out.position() - framesAt(first.sounded);
  if (!tail_.empty() && ahead >= static_cast<int64_t>(kReclaimAtLeastSeconds * rate_))
    reclaim(std::min(ahead, provisionalSilence()), out);

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
  // Lateness up to the tolerance is taken for jitter only where silence would split audio;
  // at the file's start or after silence the buffer goes to its moment.
  bool placed = true;
  if (gap > (endsInAudio_ ? toleranceFrames : 0)) {
    placed = out.silence(gap);
    wroteSilence(position, out.position());
  }
  Entry entry = std::move(held_.front());
  held_.pop_front();
  // A gap that could not be written (the disk is full) leaves this buffer without a place:
  // writing it now would put it early. It is lost like the silence, and the next successful
  // write measures the gap again.
  if (!placed) return;
  const int64_t at = out.position();
  lastEnd_ = entry.sounded + durationOf(entry);
  out.audio(entry);
  endsInAudio_ = true;
  wroteAudio(at, out.position(), std::move(entry));
}

void Timeline::release(TimePoint now, Output& out) {
  if (!origin_) return;
  // A burst after a freeze is written once it is known what it was.
  // A burst after a freeze is written once it is known what it was: when it has stopped running
  // ahead for `hold`.
  if (burst_ && (burst_->entries > 0 ? now - burst_->peakAt >= tuning_.hold
                                     : now - burst_->until >= tuning_.stallAfter))
    endBurst();
  if (lost_) {
    out.lost(*lost_);
    lost_.reset();
  }
  if (burst_) {
    while (!held_.empty() && held_.front().arrived <= burst_->boundary) releaseOldest(out);
    return;
  }
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
  if (burst_) endBurst();
  if (lost_) {
    out.lost(*lost_);
    lost_.reset();
  }
  while (!held_.empty()) releaseOldest(out);
  if (end) fillTo(framesAt(*end), out);
  // Whatever comes next is written behind this; nothing before it moves any more.
  tail_.clear();
}

}  // namespace talvex::looptap
