#include "lumipose/cli/command_line.h"

#include <string>
#include <vector>

#include "lumipose/cli/offset.h"
#include "lumipose/cli/permission_word.h"
#include "lumipose/live/live_main.h"
#include "lumipose/mux/mux.h"
#include "lumipose/analyze/analyze_file.h"
#include "platform/process/output.h"

namespace talvex::lumipose {

// Every error at this edge is one "ERR:" line and exit status 1, through fail().
int lumiposeMain(int argc, char** argv, media::CameraSource& camera) {
  ignoreBrokenPipes();
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 2) {
    fail(
        "usage: talvex-lumipose status | live <preview.jpg> | analyze <mov> <jsonl> | mux "
        "<video> <wav> <out> [offset]");
  }
  const std::string& mode = args[1];
  if (mode == "status") {
    printResult(permissionWord(camera.permission()));
    return 0;
  }
  if (mode == "analyze") {
    if (args.size() < 4) {
      fail("analyze <mov> <jsonl>");
    }
    if (Status s = analyzeFile(args[2], args[3]); !s) fail(s.message());
    return 0;
  }
  if (mode == "mux") {
    if (args.size() < 5) {
      fail("mux <video> <wav> <out> [offset]");
    }
    double offset = 0;
    if (args.size() > 5) offset = parseOffset(args[5]).value_or(0);
    if (Status s = mux(args[2], args[3], args[4], offset); !s) fail(s.message());
    return 0;
  }
  if (mode == "live") {
    if (args.size() == 2) {
      fail("live <preview.jpg>");
    }
    return runLive(args[2], camera);
  }
  fail("unknown mode " + mode);
}

}  // namespace talvex::lumipose
