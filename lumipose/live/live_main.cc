#include "lumipose/live/live_main.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>

#include "lumipose/live/control_channel.h"
#include "lumipose/live/live.h"
#include "platform/process/dispatch.h"
#include "platform/process/output.h"
#include "platform/vision/load_detector.h"

namespace talvex::lumipose {
namespace {

// Starts the camera (or ends the process), then reads control lines on `control`.
void goLive(Live& live, SerialQueue& control) {
  live.start();
  control.async([&live] { runControlLoop(STDIN_FILENO, live); });
}

}  // namespace

int runLive(const std::string& previewPath, media::CameraSource& camera) {
  // Blocked before the session's threads exist (talvex-lumipose blocked them before it loaded
  // this program already): every thread inherits the block, and a signal that comes while the
  // session is set up waits for its source.
  BlockedSignals early{SIGINT, SIGTERM};
  // All of these live until the process ends: every way out of the session is an exit, so the
  // control thread, blocked in reading standard input, is never waited for.
  MainLoop loop;
  Live live(previewPath, camera, [] { return vision::loadDetector(); });
  SerialQueue control("lumipose.control");
  // Signal handling comes first, so that a parent that changes its mind while the camera
  // starts gets an orderly quit. talvex-lumipose blocks both signals before it loads this
  // program; one that came meanwhile is still pending and reaches the handlers now.
  SignalSource sigint(loop, SIGINT, [&live] { live.quit(); });
  SignalSource sigterm(loop, SIGTERM, [&live] { live.quit(); });
  early.unblock();

  switch (camera.permission()) {
    case media::CameraPermission::Authorized:
      goLive(live, control);
      break;
    case media::CameraPermission::NotDetermined:
      // Asking may block; the main thread goes on to run the loop.
      control.async([&camera, &live, &control] {
        if (camera.requestAccess())
          goLive(live, control);
        else
          fail("no-permission");
      });
      break;
    default:
      fail("no-permission");
  }

  loop.run();
  return 0;
}

}  // namespace talvex::lumipose
