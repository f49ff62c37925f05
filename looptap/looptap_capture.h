// The capture object of talvex-looptap: sets up the capture of the system audio output,
// writes it into the WAV file with pause silence and level lines, and stops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "looptap/timeline.h"
#include "platform/audio/capture_service.h"
#include "platform/audio/wav_file.h"
#include "platform/process/dispatch.h"

namespace talvex::looptap {

// How the capture reaches the outside: its output lines, and the end of the process. The
// program passes err() and exitProcess(); tests record both.
struct ProcessEdge {
  std::function<void(std::string_view)> err;
  // Ends the process with the status. Whatever called it returns at once afterwards.
  std::function<void(int)> exit;
  // The monotonic clock; tests pass one they move by hand.
  std::function<TimePoint()> now = [] { return Clock::now(); };
};

// Lifecycle: constructed once by main (touches no file, starts no capture); start() once, on
// a background task; stop() on a background task per stop signal; the stream reports its
// own end through didStopWithError().
//
// The file's timeline is the wall clock from the moment "STARTED" is written (see Timeline):
// buffers carry the moment they sounded and are held briefly, stretches the server never
// delivered become silence, and a stop pads the file up to the moment the stop signal came.
// A ticker (a queue of its own with a repeating timer) wakes the audio queue every `tickEvery`
// so that the file keeps growing while the server delivers nothing.
//
// Threading and hand-over:
// - Audio buffers arrive on the audio queue, which alone touches `audioFile_`, `frames_`,
//   `framesSinceLevel_`, `fileReleased_`, `timeline_` and the write-error budget. The stop sequence
//   and the error exit release the file by running work on that queue after the stream has stopped:
//   every buffer captured before is written first, and none can write to a closed file or create it
//   again.
// - `paused_` is set on the main loop and read on the audio queue; a buffer late is fine.
// - Exactly one of the endings (a start failure, the error exit, the stop sequence) gets to
//   speak and end the process: each claims `ending_` first, and a loser stays silent.
// - `stream_` passes from start() to stop() under `streamMutex_`, so a stop that comes
//   during the start either finds the running stream or keeps "STARTED" from being written.
class LooptapCapture final : public audio::CaptureStreamDelegate, private Timeline::Output {
 public:
  static constexpr int64_t levelEveryFrames = 12000;
  static constexpr auto tickEvery = std::chrono::milliseconds(50);
  // A tick this late means the process did not run meanwhile (stopped, or the machine frozen).
  static constexpr auto frozenAfter = std::chrono::seconds(1);
  // "ERR:write:" lines: a burst of this many, then at most one a second while writes keep
  // failing (a full disk fails every buffer, a hundred times a second).
  static constexpr int writeErrorBurst = 5;

  // `service` is owned; `outputPath` is where the WAV file will be.
  LooptapCapture(std::string outputPath, std::unique_ptr<audio::CaptureService> service,
                 ProcessEdge edge);
  ~LooptapCapture() override;

  // Connects, picks the default output and starts capturing it: the first way of opening,
  // then the fallback. Writes "STARTED", or ends the process with 3, 4 or 5.
  void start();
  // Stops the stream, closes the WAV file and writes "STOPPED:<frames>". Returns true when
  // this call did so and the caller must exit with 0; false when another ending owns the
  // process (a stop already running, or an error exit), and the caller does nothing more.
  bool stop();
  void setPaused(bool paused) { paused_.store(paused, std::memory_order_relaxed); }

  // The sample path, on the audio queue.
  void didOutputAudio(audio::AudioBuffer& buffer) override;
  // The stream ended by itself: "ERR:stopped:<description>", then exit 6.
  void didStopWithError(const std::string& description) override;

  SerialQueue& audioQueue() { return audioQueue_; }

 private:
  bool claimEnding() { return !ending_.exchange(true); }
  void endWith(int status, const std::string& line);
  void releaseFile();
  void startTicker();
  void stopTicker();
  // On the ticker queue: one tick, and the next one due.
  void tick();
  // On the audio queue: opens the file when it is missing; false (with a line) when it can't.
  bool ensureFile(const audio::AudioFormat& format);
  void reportWriteError(const std::string& message);
  void count(int64_t frames, float level);
  // Timeline::Output, on the audio queue.
  int64_t position() override { return frames_; }
  bool silence(int64_t frames) override;
  void audio(Timeline::Entry& entry) override;
  void truncate(int64_t position) override;
  void lost(Clock::duration length) override;

  const std::string outputPath_;
  ProcessEdge edge_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> ending_{false};

  // Audio queue only.
  std::unique_ptr<audio::WavFile> audioFile_;
  bool fileReleased_ = false;
  int64_t frames_ = 0;            // frames in the file
  int64_t framesSinceLevel_ = 0;  // below 0 after a cut, until the file is that long again
  Timeline timeline_;
  double writeErrorTokens_ = writeErrorBurst;
  std::optional<TimePoint> lastWriteError_;

  // Declared in this order so that destruction stops the stream first, then drains the
  // queue while the state above still exists.
  std::unique_ptr<audio::CaptureService> service_;
  SerialQueue audioQueue_{"talvex.looptap.audio"};
  std::mutex streamMutex_;
  bool stopRequested_ = false;
  std::unique_ptr<audio::CaptureStream> stream_;

  // Ticker queue only.
  bool ticking_ = false;
  TimePoint lastTick_{};
  // Declared last: gone first, with a tick still waiting for its time.
  SerialQueue ticker_{"looptap.ticker"};
};

}  // namespace talvex::looptap
