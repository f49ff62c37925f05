#include "record/child_lines.h"

#include <charconv>
#include <utility>

namespace talvex::record {

namespace {

bool numberAfter(std::string_view line, std::string_view prefix, double& value) {
  if (line.substr(0, prefix.size()) != prefix) return false;
  const std::string_view rest = line.substr(prefix.size());
  double v = 0;
  const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), v);
  if (ec != std::errc() || ptr != rest.data() + rest.size()) return false;
  value = v;
  return true;
}

}  // namespace

ChildLine parseChildLine(std::string_view line) {
  ChildLine l;
  if (line == "STARTED") {
    l.kind = LineKind::started;
  } else if (line == "REC:started") {
    l.kind = LineKind::recStarted;
  } else if (numberAfter(line, "REC:stopped:", l.value)) {
    l.kind = LineKind::recStopped;
  } else if (numberAfter(line, "LEVEL:", l.value)) {
    l.kind = LineKind::level;
  } else if (numberAfter(line, "STOPPED:", l.value)) {
    l.kind = LineKind::stopped;
  } else if (line.substr(0, 4) == "ERR:") {
    l.kind = LineKind::error;
    l.text = line.substr(4);
  } else {
    l.text = line;
  }
  return l;
}

std::string explainError(Source source, std::string_view error) {
  struct Known {
    Source source;
    std::string_view word;  // the error, or its start when it ends in ':'
    std::string_view says;
  };
  static constexpr Known kKnown[] = {
      {Source::camera, "no-permission", "this user may not use the camera"},
      {Source::camera, "no-camera", "no camera found"},
      {Source::camera, "camera-no-frames", "the camera gives no pictures"},
      {Source::camera, "camera-unusable", "the camera's pictures cannot be used"},
      {Source::camera, "camera-lost", "the camera went away; the recording ends here"},
      {Source::camera, "removed while recording:", "a recording file was removed"},
      {Source::sound, "no-permission", "the sound server cannot be reached"},
      {Source::sound, "no-display", "the sound server has no output to record"},
      {Source::sound, "stopped:", "the sound capture ended by itself"},
      {Source::sound, "lost:", "sound lost while the recorder was held up, silence in its place"},
      {Source::sound, "write:", "the sound file cannot be written"},
  };
  const std::string who = source == Source::camera ? "camera" : "sound";
  for (const Known& k : kKnown) {
    if (k.source != source) continue;
    const bool prefix = k.word.back() == ':';
    if (prefix ? error.substr(0, k.word.size()) == k.word : error == k.word)
      return "ERR:" + who + ": " + std::string(k.says) + " (" + std::string(error) + ")";
  }
  return "ERR:" + who + ": " + std::string(error);
}

}  // namespace talvex::record
