// The movie whose frames the overlay draws on, opened and ready to decode.
#pragma once

#include <memory>
#include <string>

#include "platform/media/read/movie_asset.h"
#include "platform/media/read/video_frame_reader.h"
#include "platform/process/result.h"

namespace talvex::overlay {

struct MovieSource {
  std::unique_ptr<media::MovieAsset> asset;
  media::AssetTrack video;  // the first video track, the one the analysis reads
  std::unique_ptr<media::VideoFrameReader> reader;

  // The length of the video on its own timeline, in seconds (0 when the file does not say).
  double durationSeconds() const;
};

// Fails with "no video track in <path>" (also for a missing file) or "cannot read <path>".
Result<MovieSource> openMovie(const std::string& path);

}  // namespace talvex::overlay
