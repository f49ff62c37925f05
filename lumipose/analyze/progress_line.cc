#include "lumipose/analyze/progress_line.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/process/output.h"

namespace talvex::lumipose {
namespace {

constexpr auto kEvery = std::chrono::milliseconds(200);
constexpr const char* kEraseLine = "\r\x1b[K";

std::string clock(double seconds) {
  const auto s = static_cast<int64_t>(std::llround(std::max(0.0, seconds)));
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(s / 60),
                  static_cast<long long>(s % 60));
  return buf;
}

}  // namespace

std::string progressText(double movieSeconds, double durationSeconds, int64_t frames,
                         double elapsedSeconds) {
  char buf[128];
  const double fps = elapsedSeconds > 0 ? frames / elapsedSeconds : 0;
  if (!(durationSeconds > 0) || !std::isfinite(durationSeconds)) {
    std::snprintf(buf, sizeof buf, "analysing  %lld frames  %.0f frames/s",
                  static_cast<long long>(frames), fps);
    return buf;
  }
  const double done = std::clamp(movieSeconds / durationSeconds, 0.0, 1.0);
  std::string left = "-:--";
  if (elapsedSeconds > 0 && movieSeconds > 0)
    left = clock((durationSeconds - std::min(movieSeconds, durationSeconds)) * elapsedSeconds /
                 movieSeconds);
  std::snprintf(buf, sizeof buf, "analysing %3.0f%%  %.0f frames/s  %s left",
                std::floor(done * 100), fps, left.c_str());
  return buf;
}

ProgressLine::ProgressLine(int fd, double durationSeconds)
    : fd_(fd), active_(::isatty(fd) == 1), duration_(durationSeconds) {}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::frame(int64_t frames, double movieSeconds) {
  if (!active_) return;
  const auto now = Clock::now();
  if (shown_ && now - last_ < kEvery) return;
  last_ = now;
  shown_ = true;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  writeWhole(fd_,
             std::string("\r") + progressText(movieSeconds, duration_, frames, elapsed) + "\x1b[K");
}

void ProgressLine::finish() {
  if (!active_ || !shown_) return;
  writeWhole(fd_, kEraseLine);
  shown_ = false;
}

}  // namespace talvex::lumipose
