// The movie with each frame record drawn over the frames it describes.
#pragma once

#include <cstddef>
#include <stop_token>
#include <string>

#include "overlay/frames_file.h"
#include "overlay/movie_source.h"

namespace talvex::overlay {

struct MovieSummary {
  size_t frames = 0;   // frames written
  size_t records = 0;  // records drawn on at least one frame
};

// Decodes every frame of `movie`, draws on it the record that holds at its time and writes the
// result as H.264 to `out` (the container follows the name), with the movie's sound copied.
// Frames before the first record are written as they are. A stop requested through `stop`
// ends the drawing at the next frame with the failure "interrupted", nothing left at `out`.
Result<MovieSummary> writeOverlayMovie(MovieSource& movie, const FramesFile& frames,
                                       const std::string& out, std::stop_token stop = {});

}  // namespace talvex::overlay
