// Owning handle for a libsndfile file. Internal to platform/audio.
#pragma once

#include <sndfile.h>

#include <memory>

namespace talvex::audio {

// sf_close writes the final header; its result is dropped because a file that cannot be
// finished has nobody left to report to (the header was kept current while writing).
struct SndfileCloser {
  void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

}  // namespace talvex::audio
