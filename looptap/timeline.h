// Places captured audio on the recording's wall-clock timeline: frame k of the file is the
// sound at origin + k / rate. The sound server does not deliver evenly: it can deliver nothing
// for seconds (an idle sink rendering ahead, a stalled stream, a switch of device), and it
// delivers late under load. Stretches with nothing become digital silence of the right
// length; delivered audio is never dropped to catch up; lateness that the next buffers make up
// (jitter) inserts nothing.
//
// How: every buffer carries the moment its first frame sounded. Buffers are held for `hold`
// before they go to the file. When the oldest one goes, the timeline looks at every buffer
// held behind it: if all of them are late against the file's position by more than
// `tolerance`, the smallest of those lags is a real gap and is written as silence first. A
// late buffer followed by on-time ones is jitter and is written right after its predecessor.
// Buffers that arrive early (the server handing out audio ahead) are written where the file
// stands, never cut. With nothing held, the file is filled with silence up to `stallAfter`
// before now, so it keeps growing while the server delivers nothing. That silence is
// provisional: when audio arrives that sounded within it (it was only late, say because this
// process did not get the processor for a while), the file is cut back to where that audio
// belongs, so late audio never pushes the timeline.
//
// Not thread-safe: the audio queue owns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace talvex::looptap {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

class Timeline {
 public:
  struct Tuning {
    Clock::duration hold = std::chrono::milliseconds(200);
    Clock::duration tolerance = std::chrono::milliseconds(20);
    Clock::duration stallAfter = std::chrono::milliseconds(500);
  };

  // A buffer on its way to the file.
  struct Entry {
    std::vector<float> samples;  // interleaved
    int64_t frames = 0;
    float level = 0;    // what its level line reports
    TimePoint sounded;  // when its first frame sounded
    TimePoint arrived;  // when it reached the sample path
  };

  // Where released audio goes. Implemented by the capture object, which writes the file,
  // counts frames and reports levels.
  class Output {
   public:
    virtual ~Output() = default;
    // Frames in the file so far: the position the next frame goes to.
    virtual int64_t position() = 0;
    // Appends silence; false when not all of it could be written.
    virtual bool silence(int64_t frames) = 0;
    virtual void audio(Entry& entry) = 0;
    // Cuts the file back to `position` frames; only ever provisional silence.
    virtual void truncate(int64_t position) = 0;
  };

  Timeline(double rate, uint32_t channels, Tuning tuning);
  Timeline(double rate, uint32_t channels) : Timeline(rate, channels, Tuning{}) {}

  // Frame 0's moment. Nothing is released before it is known; audio that sounded before it
  // is not part of the recording and is cut off.
  void begin(TimePoint origin) { origin_ = origin; }
  bool begun() const { return origin_.has_value(); }
  const std::optional<TimePoint>& origin() const { return origin_; }

  void add(Entry entry) { held_.push_back(std::move(entry)); }
  bool holding() const { return !held_.empty(); }

  // Writes what is due at `now`: buffers held long enough (with the silence of any gap before
  // them), then silence for a stall.
  void release(TimePoint now, Output& out);
  // Writes everything held; then, when `end` is given, silence up to it.
  void finish(std::optional<TimePoint> end, Output& out);

  // Frames from the origin to `t` (negative before it).
  int64_t framesAt(TimePoint t) const;

 private:
  void releaseOldest(Output& out);
  void fillTo(int64_t target, Output& out);

  const double rate_;
  const uint32_t channels_;
  const Tuning tuning_;
  std::optional<TimePoint> origin_;
  std::deque<Entry> held_;
  // Where the silence written for a stall begins, while nothing has been written after it.
  std::optional<int64_t> provisionalFrom_;
};

}  // namespace talvex::looptap
