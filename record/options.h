// talvex-record's command line and the files a recording ends up in.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "platform/process/result.h"

namespace talvex::record {

inline constexpr char kUsage[] = "usage: talvex-record [--seconds N] [--sheet] <out.mov>";

struct Options {
  std::string out;                // the finished movie
  std::optional<double> seconds;  // stop after this long; else on Ctrl-C or SIGTERM
  bool sheet = false;             // also draw the contact sheet
};

// `args` without the program's name. A failure's message is the line to print.
Result<Options> parseOptions(std::span<const std::string> args);

// The files kept beside the movie: its frames file and its contact sheet, named after the
// movie without its extension ("talk.mov" gives "talk.jsonl" and "talk-sheet.png"); a movie
// named *.jsonl keeps its whole name as the stem, so the two never collide.
struct KeptFiles {
  std::string frames, sheet;
};
KeptFiles keptFilesFor(const std::string& out);

}  // namespace talvex::record
