// A single self-updating progress line for a person who watches `analyze` in a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace talvex::lumipose {

// "analysing 42%  310 frames/s  0:12 left": the share of the movie's duration reached, frames
// decoded per second of wall-clock time and the time left at that pace. Without a duration
// (0) the share and the time left are replaced by the frame count.
std::string progressText(double movieSeconds, double durationSeconds, int64_t frames,
                         double elapsedSeconds);

// Lifecycle: made before the first frame, told of every frame, finished before the summary
// line. Writes only when `fd` is a terminal: through a pipe (the parent application's case)
// it writes nothing at all. Each update is one write of a carriage return, the text and an
// erase to the end of the line, at most five times a second; finish() erases the line so the
// summary starts on a clean line. Threading: one thread.
class ProgressLine {
 public:
  ProgressLine(int fd, double durationSeconds);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Frame number `frames` (from 1) has been decoded; it lies `movieSeconds` into the movie.
  void frame(int64_t frames, double movieSeconds);
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  int fd_;
  bool active_;
  double duration_;
  Clock::time_point start_ = Clock::now(), last_;
  bool shown_ = false;
};

}  // namespace talvex::lumipose
