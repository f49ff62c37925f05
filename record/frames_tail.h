// Follows the frames file live writes while it grows: its header's start_epoch (the moment the
// movie's first frame was captured, which the sound offset is taken from), how many records it
// holds and how many faces the newest one saw. Only whole lines count.
#pragma once

#include <optional>
#include <string>

#include "platform/process/child_process.h"

namespace talvex::record {

class FramesTail {
 public:
  explicit FramesTail(std::string path) : path_(std::move(path)) {}

  // Reads what was appended since the last call.
  void update();

  std::optional<double> startEpoch() const { return startEpoch_; }
  int records() const { return records_; }
  int faces() const { return faces_; }

 private:
  std::string path_;
  long long offset_ = 0;
  bool headerRead_ = false;
  LineSplitter lines_;
  std::optional<double> startEpoch_;
  int records_ = 0, faces_ = 0;
};

}  // namespace talvex::record
