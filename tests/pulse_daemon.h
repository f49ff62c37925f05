// A private PulseAudio daemon for one test, for the cases the shared test server cannot
// show: a server without any output device, and a server that dies mid-capture.
#pragma once

#include <memory>
#include <string>

#include "tests/child_process.h"

namespace talvex::testing {

class PulseDaemon {
 public:
  // Starts the daemon and waits until it answers. With `withSink`, a 48 kHz float stereo
  // null sink is its default output and a silent stream keeps it rendering.
  explicit PulseDaemon(bool withSink);
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  bool ready() const { return ready_; }
  // The value for PULSE_SERVER.
  const std::string& server() const { return server_; }
  // Ends the daemon at once, as a crash would.
  void kill();
  // Runs pactl with `args` against this daemon; true when it succeeds.
  bool pactl(const std::vector<std::string>& args);

 private:
  std::string dir_, server_;
  bool ready_ = false;
  std::unique_ptr<ChildProcess> daemon_, keepalive_;
};

}  // namespace talvex::testing
