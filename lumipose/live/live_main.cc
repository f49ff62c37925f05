#include "lumipose/live/live_main.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <vector>

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

// SIGINT and SIGTERM that arrived while they were blocked. They are taken off the pending set
// here because making a signal source (which first ignores the signal) would discard them;
// they are raised again once the sources handle them.
std::vector<int> takePendingQuitSignals() {
  std::vector<int> taken;
  sigset_t pending;
  if (::sigpending(&pending) != 0) return taken;
  for (int signo : {SIGINT, SIGTERM}) {
    if (!sigismember(&pending, signo)) continue;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    const timespec now{0, 0};
    if (::sigtimedwait(&one, nullptr, &now) == signo) taken.push_back(signo);
  }
  return taken;
}

}  // namespace

int runLive(const std::string& previewPath, media::CameraSource& camera) {
  // Both live until the process ends: every way out of the session is an exit.
  MainLoop loop;
  Live live(previewPath, camera, [] { return vision::loadDetector(); });
  // Signal handling comes first, so that a parent that changes its mind while the camera
  // starts gets an orderly quit. talvex-lumipose blocks both signals before it loads this
  // program; one that came meanwhile is pending and reaches the handlers now.
  const std::vector<int> early = takePendingQuitSignals();
  SignalSource sigint(loop, SIGINT, [&live] { live.quit(); });
  SignalSource sigterm(loop, SIGTERM, [&live] { live.quit(); });
  ::pthread_sigmask(SIG_UNBLOCK, &quitSignals(), nullptr);
  for (int signo : early) ::raise(signo);

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
