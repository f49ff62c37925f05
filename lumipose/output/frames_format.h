// What the frames file holds besides the records: its header line, and which frames of a
// movie or of a recording get a record. `live` and `analyze` both write it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>

namespace talvex::lumipose {

// Every third frame is analysed, counting from 1: frames 3, 6, 9 and so on.
inline constexpr int kAnalysisEvery = 3;

inline bool isAnalysisFrame(int64_t frameNo) { return frameNo % kAnalysisEvery == 0; }

// The file's first line: the wall-clock moment (seconds since the Unix epoch) at which the
// movie's first frame was captured, or 0 for a movie whose capture moment is not known.
inline nlohmann::ordered_json startEpochRecord(std::optional<double> epoch) {
  if (!epoch) return {{"start_epoch", 0}};
  return {{"start_epoch", *epoch}};
}

}  // namespace talvex::lumipose
