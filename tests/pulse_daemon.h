// Private sound servers for one test: a PulseAudio daemon, or a PipeWire graph with
// WirePlumber and pipewire-pulse (started through scripts/pipewire_service.sh), for the cases
// the shared test server cannot show: no output device, a server that dies or freezes, an idle
// sink, a second sink, a session manager that goes away.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/run_program.h"

namespace talvex::testing {

// A PulseAudio daemon.
class PulseDaemon {
 public:
  // Starts the daemon and waits until it answers. With `withSink`, a 48 kHz float stereo
  // null sink ("test_sink") is its default output; with `busy` too, a silent stream keeps it
  // rendering in small steps (without it the sink is idle and renders seconds ahead).
  explicit PulseDaemon(bool withSink, bool busy = true);
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  bool ready() const { return ready_; }
  // The value for PULSE_SERVER.
  const std::string& server() const { return server_; }
  pid_t pid() const { return daemon_ ? daemon_->pid() : -1; }
  // Ends the daemon at once, as a crash would.
  void kill();
  // Runs pactl with `args` against this daemon; true when it succeeds.
  bool pactl(const std::vector<std::string>& args);

 private:
  std::string dir_, server_;
  bool ready_ = false;
  std::unique_ptr<RunningProgram> daemon_, keepalive_;
};

// The sound server the recording tests run against: PulseAudio, or PipeWire when
// TALVEX_TEST_SOUND_SERVER=pipewire (scripts/run_tests.sh runs the recording tests once with
// each).
enum class ServerKind { pulseaudio, pipewire };
ServerKind serverKindUnderTest();
const char* serverName(ServerKind kind);

// A private server of either kind with the same controls.
class TestSoundServer {
 public:
  struct Options {
    bool withSink = true;  // without: PulseAudio has no sink, PipeWire its "auto_null"
    bool busy = false;     // a silent stream keeps the sink rendering
  };
  TestSoundServer(ServerKind kind, Options options);
  ~TestSoundServer();
  TestSoundServer(const TestSoundServer&) = delete;
  TestSoundServer& operator=(const TestSoundServer&) = delete;

  ServerKind kind() const { return kind_; }
  bool ready() const { return !server_.empty(); }
  const std::string& server() const { return server_; }
  // The name of the default sink it was started with.
  const std::string& sink() const { return sink_; }
  bool pactl(const std::vector<std::string>& args);
  // The process the clients talk to (pulseaudio, or pipewire-pulse), and for PipeWire the
  // graph itself: SIGKILL ends it as a crash would, SIGSTOP/SIGCONT freeze and thaw it.
  void signalServer(int signo);
  // Makes the stream stall while the server the client talks to stays connected, and ends
  // that: PulseAudio suspends and resumes the sink; PipeWire freezes and thaws its graph
  // process (pipewire-pulse keeps answering). False when the server refused.
  bool stall();
  bool unstall();
  // PipeWire only: ends WirePlumber, and starts a new one.
  void killSessionManager();
  void restartSessionManager();

 private:
  ServerKind kind_;
  std::string server_, sink_;
  std::unique_ptr<PulseDaemon> pulse_;
  std::unique_ptr<RunningProgram> pipewire_;  // the shell that runs the service script
  std::vector<pid_t> serverPids_;
};

}  // namespace talvex::testing
