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
// The tolerance only guards audio against being split: at the file's start, or after
// silence, a buffer goes to the moment it carries however little it is late (otherwise the
// whole recording could start up to the tolerance early, and a little more delay later on
// would then split a sound).
// With nothing held, the file is filled with silence up to `stallAfter` before now, so it
// keeps growing while the server delivers nothing.
//
// Silence is a guess until later audio confirms it. Audio that was only late looks exactly
// like a gap while it is late: the server (or this process) falls behind for longer than the
// hold, every held buffer is late, and silence goes in; then the backlog comes at once and the
// buffers after it are on time again. So every silence written (for a gap or a stall) stays
// provisional until `settle` of audio has followed it: when a buffer turns out to belong
// before the file's end, that much of the provisional silence is taken out again, latest
// first, and the audio written after it is written again, earlier. Audio is never cut or
// dropped for this; only silence this timeline wrote goes, and never more of it than there is.
// Buffers that arrive early with no such silence before them (the server handing out audio
// ahead) are written where the file stands.
//
// This process itself can stop running (SIGSTOP, Ctrl-Z) while the server goes on. The server
// queues what sounded meanwhile, up to its limit, and then drops what comes on top: the burst
// read on waking is the audio that continues from the last buffer before the stop, and what did
// not fit is gone. Told of the stop (frozen()), the timeline holds the buffers that come after it
// until they have stopped running ahead of the time for `hold`. A burst that ran ahead is that
// queue: it goes right after the last buffer before the stop, and
// its last buffer, the freshest audio, tells how much sounded in between that the server no
// longer held. That much is reported once (Output::lost()) and becomes silence before what
// comes next.
//
// Not thread-safe: the audio queue owns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <variant>
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
    Clock::duration settle = std::chrono::seconds(2);
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
    // Cuts the file back to `position` frames. What was cut is provisional silence and audio
    // written after it, and the audio is written again right afterwards.
    virtual void truncate(int64_t position) = 0;
    // Sound this long was lost while the process did not run.
    virtual void lost(Clock::duration length) = 0;
  };

  Timeline(double rate, uint32_t channels, Tuning tuning);
  Timeline(double rate, uint32_t channels) : Timeline(rate, channels, Tuning{}) {}

  // Frame 0's moment. Nothing is released before it is known; audio that sounded before it
  // is not part of the recording and is cut off.
  void begin(TimePoint origin) { origin_ = origin; }
  bool begun() const { return origin_.has_value(); }
  const std::optional<TimePoint>& origin() const { return origin_; }

  void add(Entry entry);
  // This process did not run from `from` to `until`: the buffers that arrive after `until` may
  // be the server's queue of what sounded meanwhile.
  void frozen(TimePoint from, TimePoint until);
  bool holding() const { return !held_.empty(); }

  // Writes what is due at `now`: buffers held long enough (with the silence of any gap before
  // them), then silence for a stall.
  void release(TimePoint now, Output& out);
  // Writes everything held; then, when `end` is given, silence up to it.
  void finish(std::optional<TimePoint> end, Output& out);

  // Frames from the origin to `t` (negative before it).
  int64_t framesAt(TimePoint t) const;

 private:
  // What the file holds from `tailFrom_` on while some of it is provisional: runs of silence
  // (their length in frames) and the audio entries written after them, in file order.
  using Piece = std::variant<int64_t, Entry>;

  void releaseOldest(Output& out);
  void fillTo(int64_t target, Output& out);
  // Bookkeeping of what was just written at `at`.
  void wroteSilence(int64_t at, int64_t end);
  void wroteAudio(int64_t at, int64_t end, Entry entry);
  // Takes `frames` of provisional silence out of the file, latest first, and writes the audio
  // that followed it again. When the file does not come out at the expected length (a failed
  // write), the bookkeeping is dropped and what is in the file stays.
  void reclaim(int64_t frames, Output& out);
  int64_t provisionalSilence() const;
  // Decides what the buffers held since the freeze were, restamping them when they were the
  // server's queue.
  void endBurst();
  void countInBurst(const Entry& e);
  Clock::duration durationOf(const Entry& e) const;

  // After a freeze: where the audio before it ended, and the buffers since.
  struct Burst {
    TimePoint from, until, boundary;
    TimePoint peakAt;  // when the audio received last ran further ahead of the time
    Clock::duration peakAhead{0};
    int64_t frames = 0;
    int entries = 0;
  };

  const double rate_;
  const uint32_t channels_;
  const Tuning tuning_;
  std::optional<TimePoint> origin_;
  std::deque<Entry> held_;
  std::deque<Piece> tail_;               // empty while nothing is provisional
  int64_t tailFrom_ = 0, tailEnd_ = 0;   // file positions `tail_` spans
  int64_t tailAudio_ = 0;                // audio frames in `tail_`
  bool endsInAudio_ = false;             // the last frames written are audio
  std::optional<TimePoint> lastEnd_;     // where the last buffer written ended sounding
  std::optional<Burst> burst_;           // while a burst after a freeze is not yet decided
  std::optional<Clock::duration> lost_;  // not yet reported
};

}  // namespace talvex::looptap
