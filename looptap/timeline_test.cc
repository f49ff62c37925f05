#include "looptap/timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace talvex::looptap {
namespace {

using namespace std::chrono_literals;

// Records what the timeline writes: silence as negative runs, audio by its first sample.
struct Recorder : Timeline::Output {
  struct Op {
    bool silent;
    int64_t at, frames;
    float first;
  };
  std::vector<Op> ops;
  int64_t frames = 0;
  bool silenceFails = false;

  int64_t position() override { return frames; }
  bool silence(int64_t n) override {
    if (silenceFails) return false;
    ops.push_back({true, frames, n, 0});
    frames += n;
    return true;
  }
  void audio(Timeline::Entry& e) override {
    ops.push_back({false, frames, e.frames, e.samples.empty() ? 0 : e.samples[0]});
    frames += e.frames;
  }
  void truncate(int64_t position) override {
    // Audio that is cut is written again right afterwards; `audioFrames` checks that.
    while (!ops.empty() && ops.back().at + ops.back().frames > position) {
      if (ops.back().at >= position) {
        ops.pop_back();
      } else {
        ops.back().frames = position - ops.back().at;
        break;
      }
    }
    frames = position;
  }
  void lost(Clock::duration length) override { lostReports.push_back(length); }
  std::vector<Clock::duration> lostReports;
  int64_t audioFrames() const {
    int64_t n = 0;
    for (const auto& o : ops) n += o.silent ? 0 : o.frames;
    return n;
  }
  // Audio buffers in file order, by mark: what was delivered, each once, in order.
  std::vector<float> marks() const {
    std::vector<float> m;
    for (const auto& o : ops)
      if (!o.silent) m.push_back(o.first);
    return m;
  }
  // Silence before the first audio.
  int64_t leadingSilence() const {
    int64_t n = 0;
    for (size_t i = 0; i < ops.size() && ops[i].silent; ++i) n += ops[i].frames;
    return n;
  }
  int64_t silenceTotal() const {
    int64_t n = 0;
    for (const auto& o : ops) n += o.silent ? o.frames : 0;
    return n;
  }
  // Where the audio buffer marked `mark` went.
  int64_t whereIs(float mark) const {
    for (const auto& o : ops)
      if (!o.silent && o.first == mark) return o.at;
    return -1;
  }
};

const TimePoint t0{std::chrono::seconds(1000)};
Clock::duration ms(double v) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(v));
}

class TimelineTest : public ::testing::Test {
 protected:
  // A 10 ms buffer (480 frames) whose samples all hold `mark`.
  void add(double soundedMs, double arrivedMs, float mark = 0.5f, int64_t frames = 480) {
    tl_.add({std::vector<float>(static_cast<size_t>(frames * 2), mark), frames, mark,
             t0 + ms(soundedMs), t0 + ms(arrivedMs)});
  }
  Timeline tl_{48000, 2};
  Recorder out_;
};

TEST_F(TimelineTest, NothingLeavesBeforeTheOriginIsKnownAndEarlierAudioIsCut) {
  // Delivered before "STARTED": 10 ms wholly before frame 0, then 10 ms of which the last
  // 4 ms are after it.
  add(-20, 0, 0.125f);
  add(-6, 0, 0.25f);
  tl_.release(t0 + 1s, out_);
  EXPECT_TRUE(out_.ops.empty());
  tl_.begin(t0);
  add(4, 1, 0.75f);
  tl_.finish(t0 + ms(14), out_);
  ASSERT_EQ(out_.ops.size(), 2u);
  EXPECT_FALSE(out_.ops[0].silent);
  EXPECT_EQ(out_.ops[0].at, 0);
  EXPECT_EQ(out_.ops[0].first, 0.25f);
  EXPECT_EQ(out_.ops[0].frames, 192);  // 4 ms
  EXPECT_EQ(out_.whereIs(0.75f), 192);
  EXPECT_EQ(out_.frames, 672);
}

TEST_F(TimelineTest, StretchesTheServerNeverDeliveredBecomeSilenceInPlace) {
  tl_.begin(t0);
  // An idle sink: the first audio comes 900 ms late, then flows; a stall of 1 s follows.
  double t = 900;
  for (int i = 0; i < 50; ++i, t += 10) add(t, t + 10, i == 0 ? 0.9f : 0.5f);
  t += 1000;
  for (int i = 0; i < 50; ++i, t += 10) add(t, t + 10, i == 0 ? 0.1f : 0.5f);
  tl_.finish(t0 + ms(t), out_);
  EXPECT_EQ(out_.whereIs(0.9f), 43200);          // 0.9 s
  EXPECT_EQ(out_.whereIs(0.1f), 43200 + 72000);  // 0.9 + 0.5 + 1.0 s
  EXPECT_EQ(out_.frames, static_cast<int64_t>(t * 48));
  EXPECT_EQ(out_.silenceTotal(), 48000 * 19 / 10);
}

TEST_F(TimelineTest, JitterThatTheNextBuffersMakeUpInsertsNothing) {
  tl_.begin(t0);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> late(0, 30);
  // Each buffer reaches the client 0-30 ms late (scheduling), now and then 80 ms, and the
  // ones queued behind a late one come with it; the moment each carries is its arrival less
  // its length, as the stream reports it.
  double arrival = 0;
  for (int i = 0; i < 500; ++i) {
    const double jitter = i % 97 == 50 ? 80 : late(rng);
    arrival = std::max(arrival, i * 10 + 10 + jitter);
    add(arrival - 10, arrival);
    tl_.release(t0 + ms(arrival), out_);
  }
  tl_.finish(std::nullopt, out_);
  // The first buffer goes to the moment the least late of the first ones carries; after it
  // the audio runs on without a break.
  EXPECT_LT(out_.leadingSilence(), 48);
  EXPECT_EQ(out_.silenceTotal(), out_.leadingSilence());
  EXPECT_EQ(out_.frames, 500 * 480 + out_.leadingSilence());
}

// As an idle PulseAudio sink delivered it under load: the first audio 15 ms after the
// recording began, then three 10 ms buffers at a time, each stamped with the moment the last
// one of its read arrived; for a quarter of a second each read comes 6 ms later still. The
// first buffer goes to its moment, so that 6 ms stays within what is taken for jitter and
// the tone that starts inside that stretch stays whole. Before, the first audio went to frame
// 0, 15 ms early, and the 6 ms put 25 ms of silence into the tone.
TEST_F(TimelineTest, AudioRunsOnWithoutABreakWhenItStartsLaterThanTheRecording) {
  tl_.begin(t0);
  for (int i = 0; i < 150; i += 3) {
    const double groupEnd = 15 + (i + 3) * 10;
    const double arrival = groupEnd + 0.1 + (groupEnd > 480 && groupEnd < 730 ? 6 : 0);
    for (int j = i; j < i + 3; ++j) add(arrival - 10, arrival, j == 50 ? 0.9f : 0.5f);
    tl_.release(t0 + ms(arrival), out_);
  }
  tl_.finish(std::nullopt, out_);
  EXPECT_EQ(out_.leadingSilence(), 15 * 48 + 5);
  EXPECT_EQ(out_.silenceTotal(), out_.leadingSilence());
  EXPECT_EQ(out_.whereIs(0.9f), 515 * 48 + 5);
}

// More audio at once than time passed: stamped as it arrived, the buffers overlap; they are
// spread back before the newest and written whole, none cut.
// PipeWire with a large quantum hands over 8192 frames (about 171 ms) at a time: a long buffer
// that comes 30 ms late, with none behind it yet, is still no gap.
TEST_F(TimelineTest, LongBuffersThatComeLateInsertNothing) {
  tl_.begin(t0);
  const double len = 8192 / 48.0;
  for (int i = 0; i < 12; ++i) {
    const double arrival = (i + 1) * len + (i % 3 == 1 ? 30 : 2);
    add(arrival - len, arrival, 0.5f, 8192);
    for (double t = arrival; t < arrival + len; t += 50) tl_.release(t0 + ms(t), out_);
  }
  tl_.finish(std::nullopt, out_);
  // The first buffer at its moment, 2 ms in; no break after it.
  EXPECT_EQ(out_.silenceTotal(), 96);
  EXPECT_EQ(out_.leadingSilence(), 96);
  EXPECT_EQ(out_.frames, 12 * 8192 + 96);
}

TEST_F(TimelineTest, ABurstIsSpreadBackAndWrittenWhole) {
  tl_.begin(t0);
  add(500, 510, 0.1f);
  for (int i = 0; i < 10; ++i) add(590, 600, i == 0 ? 0.2f : 0.5f);
  add(600, 610, 0.3f);
  tl_.finish(std::nullopt, out_);
  EXPECT_EQ(out_.whereIs(0.1f), 490 * 48);
  EXPECT_EQ(out_.whereIs(0.2f), 500 * 48);
  EXPECT_EQ(out_.whereIs(0.3f), 600 * 48);
  EXPECT_EQ(out_.silenceTotal(), 490 * 48);
  EXPECT_EQ(out_.frames, 610 * 48);
}

TEST_F(TimelineTest, HeldAudioLeavesAfterTheHoldAndAStallFillsToHalfASecondAgo) {
  tl_.begin(t0);
  add(0, 10);
  tl_.release(t0 + ms(150), out_);
  EXPECT_TRUE(out_.ops.empty());
  add(10, 20);
  tl_.release(t0 + ms(215), out_);
  EXPECT_EQ(out_.frames, 480);
  // The last one has nothing behind it to be judged against: it waits for that a while.
  tl_.release(t0 + ms(400), out_);
  EXPECT_EQ(out_.frames, 480);
  // Nothing more arrives: the file follows the clock, half a second behind it.
  tl_.release(t0 + ms(2000), out_);
  EXPECT_EQ(out_.frames, 48000 * 3 / 2);
  // When audio comes back it lands at its moment, after the rest of the gap.
  add(2100, 2110, 0.7f);
  tl_.finish(t0 + ms(2200), out_);
  EXPECT_EQ(out_.whereIs(0.7f), 2100 * 48);
  EXPECT_EQ(out_.frames, 2200 * 48);
}

// This process did not get the processor for a second: the stall fill went on, and then the
// server's backlog arrives at once. It takes the place of the fill instead of pushing all
// later audio back.
TEST_F(TimelineTest, LateAudioReplacesTheSilenceWrittenForAStall) {
  tl_.begin(t0);
  add(0, 10, 0.1f);
  tl_.release(t0 + ms(1200), out_);
  EXPECT_EQ(out_.frames, 48000 * 7 / 10);  // filled to half a second ago
  for (int i = 1; i < 120; ++i) add(i * 10, 1200, i == 50 ? 0.2f : 0.5f);
  tl_.finish(t0 + ms(1200), out_);
  EXPECT_EQ(out_.whereIs(0.2f), 500 * 48);
  EXPECT_EQ(out_.frames, 1200 * 48);
  EXPECT_EQ(out_.silenceTotal(), 0);
}

// The server falls behind for longer than the hold (its sending thread kept from the processor
// on a loaded machine: seen on PipeWire and PulseAudio) and then sends what it owes at once.
// While it is behind, every held buffer is late and silence goes in; the buffers after the
// catch-up are on time again and show that silence was wrong: it comes out again, and the
// audio written after it moves back to where it sounded. Before, a 2 s tone came out 27 ms
// too long and everything after it 27 ms late.
TEST_F(TimelineTest, SilenceForAudioThatWasOnlyLateComesOutWhenTheServerCatchesUp) {
  for (const double behind : {30.0, 60.0, 150.0}) {
    SCOPED_TRACE(behind);
    Timeline tl(48000, 2);
    Recorder out;
    // 10 ms buffers, normally 3 ms after they sounded; those that sounded in 1.0-1.3 s come
    // `behind` later, the backlog at the end of it all at once.
    double arrival = 0;
    for (int i = 0; i < 300; ++i) {
      const double end = i * 10 + 10;
      const bool late = end > 1000 && end <= 1300;
      arrival = std::max(arrival, end + 3 + (late ? behind : 0));
      const float mark = static_cast<float>(i + 1);
      tl.add({std::vector<float>(960, mark), 480, mark, t0 + ms(arrival - 10), t0 + ms(arrival)});
      if (i == 0) tl.begin(t0);
      tl.release(t0 + ms(arrival), out);
    }
    tl.finish(t0 + ms(3000), out);
    // Every buffer at the moment it carries, 3 ms after it sounded, with no break in the
    // audio; nothing lost, nothing repeated.
    EXPECT_EQ(out.leadingSilence(), 3 * 48);
    EXPECT_EQ(out.silenceTotal(), out.leadingSilence());
    EXPECT_EQ(out.whereIs(121.0f), 1203 * 48);  // inside the late stretch
    EXPECT_EQ(out.whereIs(201.0f), 2003 * 48);  // after it
    EXPECT_EQ(out.frames, 3003 * 48);
    EXPECT_EQ(out.audioFrames(), 300 * 480);
    const std::vector<float> marks = out.marks();
    EXPECT_TRUE(std::is_sorted(marks.begin(), marks.end()));
  }
}

// As recorded on PipeWire under load (a 2 s tone came out 2186 ms long): after a pause, two
// buffers came, stamped as if they had just sounded although they were the first of a
// backlog; then this process got no processor for a quarter of a second, and the rest of the
// backlog came at once, its first buffers stamped together, the later ones closer to their
// moments. The two were released as soon as the rest began to come, judged against its first
// buffer alone: all looked late, and 176 ms of silence went into the tone. The rest of the
// backlog shows where they belong, and the silence comes out again.
TEST_F(TimelineTest, SilenceJudgedAgainstTheStartOfABacklogComesOutWhenTheRestArrives) {
  tl_.begin(t0);
  const auto mark = [](int i) { return static_cast<float>(i + 1); };
  auto deliver = [&](int i, double stamp, double now) {
    tl_.add({std::vector<float>(960, mark(i)), 480, mark(i), t0 + ms(stamp), t0 + ms(now)});
    tl_.release(t0 + ms(now), out_);
  };
  for (int i = 0; i < 132; ++i) deliver(i, i * 10, i * 10 + 10);
  // Sounded at 1320 and 1330 ms, read at 1515 ms.
  deliver(132, 1505.6, 1515.6);
  deliver(133, 1505.7, 1515.6);
  tl_.release(t0 + ms(1567), out_);
  // Sounded at 1340-1810 ms, read at 1820 ms, stamps as the stream gave them.
  const double late[] = {1753.7, 1753.7, 1784.8, 1784.8, 1790.6, 1791.9, 1800.0, 1806.6, 1810.0};
  for (int k = 0; k < 48; ++k)
    deliver(134 + k, k < 13 ? 1730.6 : k < 39 ? 1734.9 : late[k - 39], 1820.5);
  for (int i = 182; i < 300; ++i) deliver(i, i * 10, i * 10 + 10);
  tl_.finish(t0 + ms(3000), out_);
  EXPECT_EQ(out_.silenceTotal(), 0);
  EXPECT_EQ(out_.frames, 3000 * 48);
  EXPECT_EQ(out_.whereIs(mark(132)), 1320 * 48);
  EXPECT_EQ(out_.whereIs(mark(160)), 1600 * 48);
  EXPECT_EQ(out_.whereIs(mark(250)), 2500 * 48);
  EXPECT_EQ(out_.audioFrames(), 300 * 480);
}

// The same backlog as the stream stamps it: read in one burst, every buffer stamped as if it
// had just sounded. Continuity puts it back over the second it covers.
TEST_F(TimelineTest, ABacklogReadInOneBurstIsSpreadBackOverTheTimeItCovers) {
  tl_.begin(t0);
  add(0, 10, 0.1f);
  tl_.release(t0 + ms(1200), out_);
  for (int i = 1; i < 120; ++i) add(1190, 1200, i == 50 ? 0.2f : 0.5f);
  add(1200, 1210, 0.3f);
  tl_.finish(t0 + ms(1210), out_);
  EXPECT_EQ(out_.whereIs(0.2f), 500 * 48);
  EXPECT_EQ(out_.whereIs(0.3f), 1200 * 48);
  EXPECT_EQ(out_.frames, 1210 * 48);
  EXPECT_EQ(out_.silenceTotal(), 0);
}

TEST_F(TimelineTest, AGapThatCannotBeWrittenIsMeasuredAgainByTheNextBuffer) {
  tl_.begin(t0);
  add(0, 10, 0.1f);
  tl_.finish(std::nullopt, out_);
  // A full disk: neither the silence of a gap nor the audio after it can go in its place.
  out_.silenceFails = true;
  add(500, 510, 0.2f);
  tl_.finish(std::nullopt, out_);
  EXPECT_EQ(out_.whereIs(0.2f), -1);
  out_.silenceFails = false;
  add(800, 810, 0.3f);
  tl_.finish(std::nullopt, out_);
  EXPECT_EQ(out_.whereIs(0.3f), 800 * 48);
}

// The process stopped from 1 s to 21 s. The server queued 10.5 s of what sounded from 1 s on
// and dropped the rest; on waking, that queue comes at once, stamped with its arrival, then the
// server's audio at its pace.
TEST_F(TimelineTest, AfterAFreezeTheServersQueueContinuesAndTheRestIsLost) {
  tl_.begin(t0);
  double t = 0;
  for (; t < 1000; t += 10)
    tl_.add({std::vector<float>(960, 0.5f), 480, 0.5f, t0 + ms(t), t0 + ms(t + 10)}),
        tl_.release(t0 + ms(t + 10), out_);
  tl_.frozen(t0 + ms(1000), t0 + ms(21000));
  // The queue: 1050 buffers within 50 ms, the one from 8 s (7 s into it) marked.
  for (int i = 0; i < 1050; ++i) {
    const double arrived = 21000 + i * 0.05;
    add(arrived - 10, arrived, i == 700 ? 0.8f : 0.5f);
  }
  // The queue ends in its freshest audio, what sounded since the process woke (the marked
  // buffer from 21.0425 s); then buffers come at the server's pace.
  double at = 21052.5;
  add(at - 10, at, 0.9f);
  for (int i = 0; i < 100; ++i) add(at + i * 10, at + 10 + i * 10);
  tl_.finish(std::nullopt, out_);
  EXPECT_EQ(out_.whereIs(0.8f), 8 * 48000);  // the sound from 8 s, at 8 s
  // What the queue did not hold (from 11.45 s to the freshest audio's start) is silence,
  // reported once.
  ASSERT_EQ(out_.lostReports.size(), 1u);
  EXPECT_NEAR(std::chrono::duration<double>(out_.lostReports[0]).count(), 21.0425 - 11.5, 0.002);
  EXPECT_NEAR(out_.whereIs(0.9f), 21042.5 * 48, 48);
}

// A freeze after which the server hands over nothing it queued: its audio stays at its moments
// and the whole stretch is reported lost.
TEST_F(TimelineTest, AfterAFreezeWithoutAQueueAudioKeepsItsMoments) {
  tl_.begin(t0);
  double t = 0;
  for (; t < 1000; t += 10) add(t, t + 10), tl_.release(t0 + ms(t + 10), out_);
  tl_.frozen(t0 + ms(1000), t0 + ms(5000));
  add(4995, 5005, 0.9f);
  for (double a = 5015; a < 6000; a += 10) add(a - 10, a), tl_.release(t0 + ms(a), out_);
  tl_.finish(std::nullopt, out_);
  EXPECT_EQ(out_.whereIs(0.9f), 4995 * 48);
  ASSERT_EQ(out_.lostReports.size(), 1u);
  EXPECT_NEAR(std::chrono::duration<double>(out_.lostReports[0]).count(), 3.995, 0.001);
}

}  // namespace
}  // namespace talvex::looptap
