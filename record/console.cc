#include "record/console.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/process/output.h"

namespace talvex::record {

std::string clockText(double seconds) {
  const long tenths = std::lround(std::max(0.0, seconds) * 10);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
  return buf;
}

std::string offsetText(double seconds, int decimals) {
  char buf[64];
  const auto [end, ec] =
      std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::fixed, decimals);
  return ec == std::errc() ? std::string(buf, end) : "0";
}

std::string statusText(const Progress& p) {
  std::string s = "starting";
  if (p.recording) {
    const long whole = static_cast<long>(std::max(0.0, p.seconds));
    char buf[32];
    std::snprintf(buf, sizeof buf, "REC %ld:%02ld", whole / 60, whole % 60);
    s = buf;
  }
  s += "  sound ";
  if (p.level < 0) {
    s += "[    --    ]";
  } else {
    const int bars = static_cast<int>(std::lround(std::clamp(p.level, 0.0, 1.0) * 10));
    s += "[" + std::string(bars, '#') + std::string(10 - bars, ' ') + "]";
  }
  s += "  faces " + std::to_string(p.faces) + "  frames " + std::to_string(p.records * 3);
  return s;
}

void Console::status(const std::string& text) {
  if (!terminal_ || text == shown_) return;
  // Carriage return, the text, and "erase to the end of the line" for a shorter text.
  writeWhole(STDERR_FILENO, "\r" + text + "\x1b[K");
  shown_ = text;
}

void Console::clear() {
  if (!terminal_ || shown_.empty()) return;
  writeWhole(STDERR_FILENO, "\r\x1b[K");
  shown_.clear();
}

void Console::error(std::string_view line) {
  clear();
  say(line);
}

void Console::summary(std::string_view line) {
  clear();
  printResult(line);
}

}  // namespace talvex::record
