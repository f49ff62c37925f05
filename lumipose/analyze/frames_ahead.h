// Decoding ahead of the analysis, for `analyze`.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "platform/image/pixel_buffer.h"
#include "platform/media/media_time.h"
#include "platform/media/read/video_frame_reader.h"

namespace talvex::lumipose {

// One decoded frame: its number (from 1, counting the frames skipped as damaged), its time, and its
// picture if it is analysed (as the reader's picture() gives it: NV12 full range, or the decoder's
// own I420 picture).
struct DecodedFrame {
  int64_t n = 0;
  media::MediaTime pts;
  std::unique_ptr<PixelBuffer> image;
};

// Decodes on a thread of its own, a few frames ahead of the analysis, so decoding and the
// detectors overlap instead of taking turns. Only frames due for analysis get their picture.
// Lifecycle: started by the constructor, read with next() until it gives nothing, stopped (and
// joined) by the destructor. Threading: next() from one thread; the reader (borrowed) belongs
// to the decoding thread until the destructor returns.
class FramesAhead {
 public:
  explicit FramesAhead(media::VideoFrameReader& reader);
  ~FramesAhead();
  FramesAhead(const FramesAhead&) = delete;
  FramesAhead& operator=(const FramesAhead&) = delete;

  // The next frame in decoding order, or nothing once the movie has no more.
  std::optional<DecodedFrame> next();
  // Once next() has given nothing: the movie's frames, those skipped as damaged included.
  int64_t counted();

 private:
  void decode(media::VideoFrameReader& reader, std::stop_token stop);

  std::mutex mu_;
  std::condition_variable ready_, room_;
  std::deque<DecodedFrame> frames_;
  bool done_ = false;
  int64_t counted_ = 0;
  std::jthread thread_;  // last: started once everything it uses exists
};

}  // namespace talvex::lumipose
