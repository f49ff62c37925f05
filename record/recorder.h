// One recording with talvex-lumipose live and talvex-looptap as children, joined by mux into
// the finished movie: the reference parent of the two programs' public contract (lines,
// control lines, signals, files), docs/parent.md.
#pragma once

#include <string>

#include "platform/process/child_process.h"
#include "record/console.h"
#include "record/options.h"

namespace talvex::record {

// Where the sibling programs are.
struct Programs {
  std::string lumipose, looptap, overlay;
};

// The programs beside this executable: /usr/bin once installed, the build folder's top in the
// build tree, where every program lands.
Programs programsBesideThisOne();

// Exit statuses: whether a finished movie exists at the output.
enum ExitStatus : int {
  kMovieWithSound = 0,
  kMovieWithoutSound = 1,  // the camera's movie alone; a line said why
  kNoMovie = 2,            // nothing at the output (also a command-line error)
};

// Records until `options.seconds` passed, a signal from `inbox` (SIGINT, SIGTERM) came, or a
// child ended the recording; a second signal abandons what is not finished. Returns the exit
// status.
int record(const Options& options, const Programs& programs, SignalInbox& inbox, Console& console);

}  // namespace talvex::record
