// Decodes the frames of one video track in presentation order, each with its presentation time.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/image/pixel_buffer.h"
#include "platform/media/media_time.h"
#include "platform/media/read/movie_asset.h"
#include "platform/process/result.h"

namespace talvex::media {

// Lifecycle: create() -> start() -> nextFrame() until it gives nothing -> destruction.
// Owns its own demuxer and decoder (FFmpeg's frame and slice threads decode underneath), so
// it needs nothing of the asset once created. Threading: one thread at a time.
class VideoFrameReader {
 public:
  // Opens the asset's file for reading `track`. Fails when the file cannot be opened again or
  // does not hold that video track.
  static Result<std::unique_ptr<VideoFrameReader>> create(const MovieAsset& asset,
                                                          const AssetTrack& track);
  ~VideoFrameReader();
  VideoFrameReader(const VideoFrameReader&) = delete;
  VideoFrameReader& operator=(const VideoFrameReader&) = delete;

  // Opens the track's decoder, decoding on `threads` threads (0: one per core). Fails when there
  // is none for its format.
  Status start(int threads = 0);

  // Decodes the next frame and gives its presentation time, exact in the track's time base.
  // A frame the file gives no time for (a raw stream) follows the one before by the stream's
  // frame rate, from 0. A frame that cannot be decoded is skipped and counted in
  // damagedFrames(). Gives nothing at the end of the track, and also once reading or decoding
  // has failed (the reason is then in failure()); it never blocks beyond decoding what the file
  // holds.
  std::optional<MediaTime> nextFrame();

  // The frame that nextFrame() last gave, as NV12 full range. Costs a pixel conversion, so
  // callers ask only for the frames they use.
  Result<PixelBuffer> image();

  // The same frame for the analysis, as cheaply as it can be had: an 8-bit planar 4:2:0
  // picture is handed on as the decoder made it (PixelLayout::I420 in the stream's range and
  // matrix, sharing the decoder's memory, no conversion); any other picture comes as image()
  // gives it. Readers of the luma plane must mind the range.
  Result<PixelBuffer> picture();

  // Why reading ended early; empty when it reached the end of the track.
  const std::string& failure() const;
  // Frames skipped so far because they could not be decoded.
  int64_t damagedFrames() const;

 private:
  struct Impl;
  explicit VideoFrameReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvex::media
