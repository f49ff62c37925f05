// Which frame record belongs to which frame of the movie.
#pragma once

#include <vector>

#include "overlay/frames_file.h"

namespace talvex::overlay {

// Records carry t rounded to the millisecond, so a record counts as reached by a frame whose
// time is at most this much earlier.
inline constexpr double kTimeTolerance = 0.0005;

// Walks the records along the movie's timeline (a frame's presentation time minus the first
// frame's, the timeline the records were made on). Each record holds from its frame until the
// next record's. Lifecycle: borrows the records; frames must come in time order.
class RecordCursor {
 public:
  explicit RecordCursor(const std::vector<Record>& records) : records_(records) {}

  // The record shown on the frame at `t` seconds: the last one with a time not after it, or
  // nothing before the first record.
  const Record* at(double t);
  // How many records have been reached so far.
  size_t reached() const { return next_; }

 private:
  const std::vector<Record>& records_;
  size_t next_ = 0;
};

// `count` records spread evenly over `records` (the first and the last included), as indices.
std::vector<size_t> evenlySpaced(size_t total, size_t count);

}  // namespace talvex::overlay
