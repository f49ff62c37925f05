// Writes a QuickTime movie with one H.264 video track from NV12 full-range frames. No FFmpeg
// type appears here.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/image/pixel_buffer.h"
#include "platform/media/live_format.h"
#include "platform/media/media_time.h"
#include "platform/process/result.h"

namespace talvex::media {

struct VideoSettings {
  int width = kLiveWidth;
  int height = kLiveHeight;
  int fps = kLiveFps;
  int64_t averageBitRate = 2500000;
  // x264 speed preset. superfast keeps a 1280x720 30 fps encode at about a quarter of one core,
  // which leaves room for analysis on two cores; veryfast needs about twice that.
  std::string preset = "superfast";
  // Frames waiting for the encoder before the writer stops being ready: half a second, so a
  // burst of load elsewhere costs no frames.
  int handOffFrames = 15;
};

// Lifecycle: open() -> addVideoInput() -> startWriting() -> startSession() at the first frame
// -> append()* -> markAsFinished() -> finishWriting() or cancelWriting(); then destruction.
// The file is fragmented (a fragment at least every two seconds, flushed as it completes), so a
// process killed mid-recording leaves a movie that plays up to its last complete fragment.
// When the file stops taking data (disk full, device gone), the writer cuts it back to its last
// complete fragment, which plays, accepts no more frames, and error() says why. A writer that
// never started writing leaves nothing at its path.
// Threading: all calls from one thread (the caller's serial queue). Encoding runs on the
// writer's own encoder thread, fed through a bounded hand-off; the finish completion runs on
// that thread.
class MovieWriter {
 public:
  // Creates the file (an existing one is replaced). Fails with the system's description.
  static Result<std::unique_ptr<MovieWriter>> open(const std::string& path);
  ~MovieWriter();
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;

  // Sets up the H.264 encoder; fails with the reason when it cannot be made with these settings.
  Status addVideoInput(const VideoSettings& settings);
  // Writes the movie header.
  Status startWriting();
  // The frame at `t` becomes movie time 0.
  void startSession(MediaTime t);
  // True while the hand-off to the encoder has room.
  bool isReadyForMoreMediaData() const;
  // Hands `frame` (shared, not copied) to the encoder; false when not ready or not writing.
  bool append(const PixelBuffer& frame, MediaTime pts);
  void markAsFinished();
  // Flushes the encoder and completes the file, then calls `completion` once, on the encoder
  // thread.
  void finishWriting(std::function<void()> completion);
  // Drops the output: stops encoding and removes the file. Returns when done.
  void cancelWriting();

  // Why the file could no longer be written, or nothing; callable from any thread.
  std::optional<std::string> error() const;
  // Frames the file holds in complete fragments; after the finish's completion, every frame
  // of the movie. Callable from any thread.
  int64_t framesInFile() const;

 private:
  struct Impl;
  explicit MovieWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvex::media
