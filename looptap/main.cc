// talvex-looptap <output.wav>: records the system audio output into a 16-bit WAV file until
// SIGTERM or SIGINT; SIGUSR1 pauses (silence is recorded), SIGUSR2 resumes.
#include <csignal>

#include "looptap/looptap_capture.h"
#include "platform/audio/capture_service.h"
#include "platform/process/atomic_file.h"
#include "platform/process/dispatch.h"
#include "platform/process/output.h"

using namespace talvex;

int main(int argc, char** argv) {
  // Blocked before any thread exists, so a signal that comes while the capture is being set
  // up waits for its source instead of being lost or ending the process unreported.
  BlockedSignals early{SIGTERM, SIGINT, SIGUSR1, SIGUSR2};
  if (argc < 2) {
    say("usage: talvex-looptap <output.wav>");
    exitProcess(2);
  }
  const std::string outPath = argv[1];
  // Refused before anything starts: the file would be replaced, or its open would wait for a
  // reader where no signal can end the wait.
  if (Status replaceable = checkReplaceable(outPath); !replaceable) {
    say("ERR:" + replaceable.message());
    exitProcess(2);
  }
  looptap::LooptapCapture rec(
      outPath, audio::makeSoundServerCaptureService(),
      {[](std::string_view line) { say(line); }, [](int status) { exitProcess(status); }});

  MainLoop loop;
  // Start-up and the stop each run on a thread of their own beside the main loop, which never
  // waits for them; a stop does not wait for a start-up that hangs. The process ends from
  // there, so neither thread is waited for. A second stop signal during a stop finds the
  // ending claimed and changes nothing.
  SerialQueue starter("looptap.start");
  SerialQueue stopper("looptap.stop");
  auto onSignal = [&rec, &stopper] {
    stopper.async([&rec] {
      if (rec.stop()) exitProcess(0);
    });
  };
  SignalSource sigsrc(loop, SIGTERM, onSignal);
  SignalSource sigsrc2(loop, SIGINT, onSignal);
  SignalSource sigPause(loop, SIGUSR1, [&rec] {
    rec.setPaused(true);
    say("PAUSED");
  });
  SignalSource sigResume(loop, SIGUSR2, [&rec] {
    rec.setPaused(false);
    say("RESUMED");
  });

  early.unblock();

  starter.async([&rec] { rec.start(); });
  loop.run();
  return 0;
}
