#include "tests/sync_marks.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "platform/media/testing/media_fixtures.h"

namespace talvex::testing {
namespace {

std::vector<int64_t> toneOnsets(const media::fixtures::AudioReadback& a) {
  std::vector<int64_t> found;
  const int quiet = 32767 / 50;
  const int64_t quietNeeded = a.sampleRate / 2;
  int64_t quietRun = quietNeeded;
  for (int64_t i = 0; i < a.frames(); ++i) {
    const int v = std::abs(a.samples[static_cast<size_t>(i * a.channels)]);
    if (v >= quiet && quietRun >= quietNeeded) found.push_back(i);
    quietRun = v < quiet ? quietRun + 1 : 0;
  }
  return found;
}

}  // namespace

std::optional<MovieTones> movieTones(const std::string& movie) {
  auto audio = media::fixtures::readAudio(movie);
  if (!audio) return std::nullopt;
  MovieTones tones;
  std::ostringstream said;
  said << "tones at (s):";
  for (int64_t t : toneOnsets(*audio)) {
    tones.at.push_back(audio->start.seconds() + static_cast<double>(t) / audio->sampleRate);
    said << ' ' << tones.at.back();
  }
  said << "; sound from " << audio->start.seconds() << " s for "
       << static_cast<double>(audio->frames()) / audio->sampleRate << " s";
  tones.described = said.str();
  return tones;
}

}  // namespace talvex::testing
