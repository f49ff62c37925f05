// A contact sheet: analysed frames with their records drawn, above charts of the whole movie.
#pragma once

#include <cstddef>
#include <stop_token>
#include <string>

#include "overlay/frames_file.h"
#include "overlay/movie_source.h"
#include "platform/draw/picture.h"

namespace talvex::overlay {

struct SheetSummary {
  size_t frames = 0;   // thumbnails with a frame in them
  size_t records = 0;  // records in the charts
};

inline constexpr size_t kSheetFrames = 12;
inline constexpr int kSheetColumns = 4;
inline constexpr int kSheetWidth = 1600;

// Draws the sheet: up to 12 evenly spaced records, each on the frame it was made from (decoded
// from `movie`), in a grid of 4 columns; below them charts over the whole movie of head angles,
// mouth opening, gaze and the number of hands and faces. Decoding stops at the last chosen
// frame; a stop requested through `stop` ends it at the next frame with the failure
// "interrupted".
Result<draw::Picture> drawContactSheet(MovieSource& movie, const FramesFile& frames,
                                       const std::string& title, SheetSummary& summary,
                                       std::stop_token stop = {});

}  // namespace talvex::overlay
