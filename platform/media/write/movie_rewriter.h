// Writes a copy of a movie whose video is re-encoded from frames the caller supplies (H.264),
// with the movie's sound copied unchanged. No FFmpeg type appears here.
#pragma once

#include <memory>
#include <string>

#include "platform/image/pixel_buffer.h"
#include "platform/media/media_time.h"
#include "platform/media/read/movie_asset.h"
#include "platform/process/result.h"

namespace talvex::media {

struct RewriteSettings {
  // x264 speed preset and constant-quality factor: a picture to look at, made a few times
  // faster than real time (superfast costs about 9 ms of one core per 720p frame, veryfast
  // about 13).
  std::string preset = "superfast";
  int crf = 23;
};

// Lifecycle: open() -> append() for every frame, in presentation order -> finish(); then
// destruction. The file is written under a hidden temporary name beside the output and renamed
// into place by finish(), so a failed or abandoned rewrite never leaves a half-written movie at
// the output path (the destructor removes the temporary file). Threading: one thread at a time;
// the encoder runs its own threads underneath.
class MovieRewriter {
 public:
  // The output's container follows the name's extension (.mp4, .mov, .mkv...). The video
  // keeps `video`'s size (an odd width or height gains a copy of its last column or row, as
  // H.264 in 4:2:0 needs even sizes), time base and orientation; the first audio track of `source`,
  // if any, is copied packet for packet. Fails when the container is unknown or cannot hold the
  // sound's codec, or when the file cannot be created.
  static Result<std::unique_ptr<MovieRewriter>> open(const MovieAsset& source,
                                                     const AssetTrack& video,
                                                     const std::string& path,
                                                     const RewriteSettings& settings = {});
  ~MovieRewriter();
  MovieRewriter(const MovieRewriter&) = delete;
  MovieRewriter& operator=(const MovieRewriter&) = delete;

  // Encodes `frame` (NV12 full range, the track's size) at `pts`, its time in the source.
  Status append(const PixelBuffer& frame, MediaTime pts);
  // Flushes the encoder, copies the rest of the sound, completes the file and renames it into
  // place.
  Status finish();

 private:
  struct Impl;
  explicit MovieRewriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvex::media
