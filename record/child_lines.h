// The lines talvex-lumipose live and talvex-looptap write on standard error, read as their
// documented contract, and the one line talvex-record passes on for each of their errors.
#pragma once

#include <string>
#include <string_view>

namespace talvex::record {

enum class LineKind {
  started,     // STARTED (either program)
  recStarted,  // REC:started
  recStopped,  // REC:stopped:N, value N
  level,       // LEVEL:x, value x
  stopped,     // STOPPED:N, value N
  error,       // ERR:..., text after "ERR:"
  other,       // anything else (PAUSED, RESUMED, a future line)
};

struct ChildLine {
  LineKind kind = LineKind::other;
  double value = 0;
  std::string text;
};

ChildLine parseChildLine(std::string_view line);

enum class Source { camera, sound };

// The line for an error a child reported (`error` without "ERR:"), saying in words what it
// means for the recording, the program's own word kept for a parent that looks it up.
std::string explainError(Source source, std::string_view error);

}  // namespace talvex::record
