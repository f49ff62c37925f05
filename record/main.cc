// talvex-record [--seconds N] [--sheet] <out.mov>: records the camera and the computer's sound
// into a finished movie, through talvex-lumipose and talvex-looptap run as child processes.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/process/child_process.h"
#include "platform/process/output.h"
#include "record/console.h"
#include "record/options.h"
#include "record/recorder.h"

int main(int argc, char** argv) {
  using namespace talvex;
  // Before any thread or child exists: Ctrl-C and SIGTERM become values the loop reads.
  SignalInbox inbox{SIGINT, SIGTERM, SIGHUP};
  // A child that closed its input costs a control line, never the recording.
  ignoreBrokenPipes();
  const std::vector<std::string> args(argv + 1, argv + argc);
  auto options = record::parseOptions(args);
  if (!options) {
    say("ERR:" + options.message());
    return record::kNoMovie;
  }
  record::Console console(::isatty(STDERR_FILENO) == 1);
  return record::record(*options, record::programsBesideThisOne(), inbox, console);
}
