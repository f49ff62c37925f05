#include "tests/sync_marks.h"

#include <cstdlib>

namespace talvex::testing {

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

}  // namespace talvex::testing
