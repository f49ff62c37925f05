#include "record/child_lines.h"

#include <gtest/gtest.h>

namespace talvex::record {
namespace {

TEST(ChildLines, TheDocumentedLinesAndNothingElse) {
  struct Case {
    std::string line;
    LineKind kind;
    double value;
    std::string text;
  } cases[] = {
      {"STARTED", LineKind::started, 0, ""},
      {"REC:started", LineKind::recStarted, 0, ""},
      {"REC:stopped:153", LineKind::recStopped, 153, ""},
      {"LEVEL:0.500", LineKind::level, 0.5, ""},
      {"LEVEL:1.000", LineKind::level, 1, ""},
      {"STOPPED:240000", LineKind::stopped, 240000, ""},
      {"ERR:camera-lost", LineKind::error, 0, "camera-lost"},
      {"ERR:write:No space left on device", LineKind::error, 0, "write:No space left on device"},
      // Near misses are not the events they resemble.
      {"STARTED ", LineKind::other, 0, "STARTED "},
      {"REC:stopped:", LineKind::other, 0, "REC:stopped:"},
      {"REC:stopped:12x", LineKind::other, 0, "REC:stopped:12x"},
      {"LEVEL:", LineKind::other, 0, "LEVEL:"},
      {"PAUSED", LineKind::other, 0, "PAUSED"},
  };
  for (const Case& c : cases) {
    const ChildLine l = parseChildLine(c.line);
    EXPECT_EQ(l.kind, c.kind) << c.line;
    EXPECT_EQ(l.value, c.value) << c.line;
    EXPECT_EQ(l.text, c.text) << c.line;
  }
}

// Each error is one line that names its program's part and keeps the program's own word.
TEST(ChildLines, ErrorsAreOneLineWithTheirSourceAndWord) {
  struct Case {
    Source source;
    std::string error, line;
  } cases[] = {
      {Source::camera, "camera-lost",
       "ERR:camera: the camera went away; the recording ends here (camera-lost)"},
      {Source::sound, "lost:0.250",
       "ERR:sound: sound lost while the recorder was held up, silence in its place (lost:0.250)"},
      // The same word means something else from the other program.
      {Source::sound, "no-permission",
       "ERR:sound: the sound server cannot be reached (no-permission)"},
      {Source::camera, "Device or resource busy", "ERR:camera: Device or resource busy"},
  };
  for (const Case& c : cases) EXPECT_EQ(explainError(c.source, c.error), c.line);
}

}  // namespace
}  // namespace talvex::record
