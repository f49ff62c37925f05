#include "overlay/record_cursor.h"

namespace talvex::overlay {

const Record* RecordCursor::at(double t) {
  while (next_ < records_.size() && records_[next_].t <= t + kTimeTolerance) ++next_;
  return next_ == 0 ? nullptr : &records_[next_ - 1];
}

std::vector<size_t> evenlySpaced(size_t total, size_t count) {
  std::vector<size_t> out;
  if (total == 0 || count == 0) return out;
  if (count >= total) {
    for (size_t i = 0; i < total; ++i) out.push_back(i);
    return out;
  }
  if (count == 1) return {0};
  for (size_t i = 0; i < count; ++i) out.push_back(i * (total - 1) / (count - 1));
  return out;
}

}  // namespace talvex::overlay
