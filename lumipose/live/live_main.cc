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

// Starts the camera (or ends the process), then reads control lines in the background.
void goLive(Live& live) {
  live.start();
  runInBackground([&live] { runControlLoop(STDIN_FILENO, live); });
}

const sigset_t& quitSignals() {
  static const sigset_t set = [] {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    return s;
  }();
  return set;
}

}  // namespace

int runLive(const std::string& previewPath, media::CameraSource& camera) {
  // Both live until the process ends: every way out of the session is an exit.
  MainLoop loop;
  Live live(previewPath, camera, [] { return vision::loadDetector(); });
  // Signal handling comes first, so that a parent that changes its mind while the camera
  // starts gets an orderly quit. talvex-lumipose blocks both signals before it loads this
  // program; one that came meanwhile is still pending and reaches the handlers now.
  SignalSource sigint(loop, SIGINT, [&live] { live.quit(); });
  SignalSource sigterm(loop, SIGTERM, [&live] { live.quit(); });
  ::pthread_sigmask(SIG_UNBLOCK, &quitSignals(), nullptr);

  switch (camera.permission()) {
    case media::CameraPermission::Authorized:
      goLive(live);
      break;
    case media::CameraPermission::NotDetermined:
      // Asking may block; the main thread goes on to run the loop.
      runInBackground([&camera, &live] {
        if (camera.requestAccess())
          goLive(live);
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
