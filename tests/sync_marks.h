// The marks sound-against-picture tests place in a recording, and how they are found again in
// a finished movie's sound: tones (BeepPlayer's) after quiet stretches.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace talvex::testing {

// When the marks come, in seconds after the first one: uneven, so that a mark can never be
// taken for its neighbour.
inline constexpr double kMarks[] = {0, 1.3, 2.9, 4.0, 5.7};
// Sound against picture, per mark.
inline constexpr double kSyncTolerance = 0.040;

// Where the tones in a finished movie's sound begin, in seconds of the movie's timeline: the
// first sample (of the first channel) that is not quiet after a quiet stretch of 0.5 s. (A
// server may lose a tone's first few samples when it starts a stream; the onset is then where
// the tone begins in the file.) Nullopt when the movie has no sound.
struct MovieTones {
  std::vector<double> at;
  std::string described;  // what was found, for failure messages
};
std::optional<MovieTones> movieTones(const std::string& movie);

}  // namespace talvex::testing
