// The control lines the parent writes to standard input during `live`.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace talvex::lumipose {

class Live;

namespace control {
struct Rec {
  std::string movie, frames;
  bool operator==(const Rec&) const = default;
};
// "REC" with an operand that is not exactly two tab-separated paths.
struct RecUsage {
  bool operator==(const RecUsage&) const = default;
};
struct Stop {
  bool operator==(const Stop&) const = default;
};
struct Quit {
  bool operator==(const Quit&) const = default;
};
struct Ignore {
  bool operator==(const Ignore&) const = default;
};
using Command = std::variant<Rec, RecUsage, Stop, Quit, Ignore>;
}  // namespace control

// The line printed for a REC whose operand does not split into two paths: a literal backslash
// and t, not a tab.
inline constexpr std::string_view kRecUsageLine = "ERR:REC needs <movie>\\t<frames>";

// One line, its terminator already removed. The command word ends at the first space; REC's
// operand is everything after that space, split at runs of tabs; paths are kept exactly.
control::Command parseControlLine(std::string_view line);

// Reads lines from `fd` until end of input and hands each command to `live`; at end of input
// quits. Lines end in "\n" or "\r\n"; a last line without terminator still counts.
void runControlLoop(int fd, Live& live);

}  // namespace talvex::lumipose
