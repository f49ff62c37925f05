// The lines the live tests say to a talvex-lumipose live session and read back from it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace talvex::testing {

// A 1280x720 moving picture at 30 fps, for talvex-lumipose-testcam's played camera.
inline const std::string kMovingCamera = "testsrc2=size=1280x720:rate=30";

// The control line that records `movie`, its frames to `frames`.
inline std::string recLine(const std::filesystem::path& movie,
                           const std::filesystem::path& frames) {
  return "REC " + movie.string() + "\t" + frames.string() + "\n";
}

// The frame count of the last "REC:stopped:N" in `text` (a line, or all that was said); -1
// when there is none.
inline int stoppedCount(const std::string& text) {
  const std::string stopped = "REC:stopped:";
  const size_t at = text.rfind(stopped);
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + stopped.size());
}

}  // namespace talvex::testing
