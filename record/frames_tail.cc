#include "record/frames_tail.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <vector>

namespace talvex::record {

void FramesTail::update() {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<std::string> got;
  char buf[65536];
  ssize_t n;
  while ((n = ::pread(fd, buf, sizeof buf, offset_)) > 0) {
    offset_ += n;
    lines_.append(std::string_view(buf, static_cast<size_t>(n)), got);
  }
  ::close(fd);
  for (const std::string& line : got) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (!headerRead_) {
      headerRead_ = true;
      if (j.is_object() && j.contains("start_epoch") && j["start_epoch"].is_number() &&
          j["start_epoch"].get<double>() > 0)
        startEpoch_ = j["start_epoch"].get<double>();
      continue;
    }
    ++records_;
    if (j.is_object() && j.contains("faces") && j["faces"].is_number_integer())
      faces_ = j["faces"].get<int>();
  }
}

}  // namespace talvex::record
