#include "tests/pulse_daemon.h"

#include <signal.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace talvex::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

PulseDaemon::PulseDaemon(bool withSink, bool busy) {
  char tmpl[] = "/tmp/talvex-test-pulse.XXXXXX";
  if (!::mkdtemp(tmpl)) return;
  dir_ = tmpl;
  for (const char* sub : {"run", "state", "home"}) fs::create_directories(fs::path(dir_) / sub);
  {
    std::ofstream pa(dir_ + "/test.pa");
    pa << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << dir_
       << "/run/native\n";
    if (withSink) {
      pa << "load-module module-null-sink sink_name=test_sink format=float32le rate=48000 "
            "channels=2\n"
         << "set-default-sink test_sink\n";
    }
  }
  server_ = "unix:" + dir_ + "/run/native";
  const std::map<std::string, std::string> env = {{"HOME", dir_ + "/home"},
                                                  {"PULSE_RUNTIME_PATH", dir_ + "/run"},
                                                  {"PULSE_STATE_PATH", dir_ + "/state"}};
  daemon_ = std::make_unique<RunningProgram>(
      std::vector<std::string>{"/usr/bin/pulseaudio", "-n", "-F", dir_ + "/test.pa",
                               "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no"},
      env);
  daemon_->closeInput();
  const std::map<std::string, std::string> client = {{"PULSE_SERVER", server_}};
  for (int i = 0; i < 100 && !ready_; ++i) {
    ready_ = run({"/usr/bin/pactl", "info"}, "", client, 5s).exitStatus == 0;
    if (!ready_) std::this_thread::sleep_for(50ms);
  }
  if (ready_ && withSink && busy) {
    keepalive_ = std::make_unique<RunningProgram>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "exec pacat --playback --format=float32le --rate=48000 "
                                 "--channels=2 --latency-msec=40 </dev/zero"},
        client);
  }
}

void PulseDaemon::kill() {
  if (daemon_) {
    daemon_->signal(SIGKILL);
    daemon_->wait(5s);
  }
}

namespace {

bool pactlOn(const std::string& server, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, "", {{"PULSE_SERVER", server}}, 10s).exitStatus == 0;
}

}  // namespace

bool PulseDaemon::pactl(const std::vector<std::string>& args) { return pactlOn(server_, args); }

PulseDaemon::~PulseDaemon() {
  keepalive_.reset();
  if (daemon_) daemon_->signal(SIGCONT);  // a frozen daemon could not be reaped
  daemon_.reset();                        // kills what still runs and reaps it
  if (!dir_.empty()) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
}

ServerKind serverKindUnderTest() {
  const char* k = std::getenv("TALVEX_TEST_SOUND_SERVER");
  return k && std::strcmp(k, "pipewire") == 0 ? ServerKind::pipewire : ServerKind::pulseaudio;
}

const char* serverName(ServerKind kind) {
  return kind == ServerKind::pipewire ? "PipeWire" : "PulseAudio";
}

namespace {

// Runs the service script in a shell that stays until SIGTERM (then stops the service), and
// turns SIGUSR1 / SIGUSR2 into ending / starting WirePlumber.
const char* kPipewireShell = R"(
. "$1"
pipewire_service_start $2 >&2 || exit 1
if [ "$3" = busy ]; then
  pacat --playback --format=float32le --rate=48000 --channels=2 --latency-msec=40 \
    </dev/zero >/dev/null 2>&1 &
  KEEPALIVE=$!
fi
trap 'kill ${KEEPALIVE:-} 2>/dev/null; pipewire_service_stop; exit 0' TERM
trap 'kill $WIREPLUMBER_PID' USR1
trap 'env "${PIPEWIRE_ENV[@]}" wireplumber </dev/null >>"$PIPEWIRE_SERVICE_DIR/wireplumber.log" 2>&1 & WIREPLUMBER_PID=$!' USR2
echo "READY $PULSE_SERVER $PIPEWIRE_PID $PIPEWIRE_PULSE_PID" >&2
while :; do sleep 1 & wait $!; done
)";

}  // namespace

TestSoundServer::TestSoundServer(ServerKind kind, Options options) : kind_(kind) {
  if (kind == ServerKind::pulseaudio) {
    pulse_ = std::make_unique<PulseDaemon>(options.withSink, options.busy);
    if (!pulse_->ready()) return;
    server_ = pulse_->server();
    sink_ = options.withSink ? "test_sink" : "";
    serverPids_ = {pulse_->pid()};
    // A fresh null sink has rendered seconds ahead at its start-up latency; recordings and
    // players see the server as it runs, not as it starts.
    std::this_thread::sleep_for(2500ms);
    return;
  }
  pipewire_ = std::make_unique<RunningProgram>(std::vector<std::string>{
      "/bin/bash", "-c", kPipewireShell, "pipewire-test",
      std::string(TALVEX_SOURCE_DIR) + "/scripts/pipewire_service.sh",
      options.withSink ? "" : "--no-sink", options.busy ? "busy" : "idle"});
  pipewire_->closeInput();
  auto line = pipewire_->waitForLine("READY ", 30s, /*prefix=*/true);
  if (!line) return;
  std::istringstream in(line->substr(6));
  pid_t graph = 0, pulse = 0;
  in >> server_ >> graph >> pulse;
  serverPids_ = {pulse, graph};
  sink_ = options.withSink ? "ci_sink" : "auto_null";
}

TestSoundServer::~TestSoundServer() {
  for (pid_t p : serverPids_) ::kill(p, SIGCONT);
  if (pipewire_) {
    pipewire_->signal(SIGTERM);
    pipewire_->wait(10s);
  }
}

bool TestSoundServer::pactl(const std::vector<std::string>& args) { return pactlOn(server_, args); }

void TestSoundServer::signalServer(int signo) {
  for (pid_t p : serverPids_) ::kill(p, signo);
}

bool TestSoundServer::stall() {
  if (kind_ == ServerKind::pulseaudio) return pactl({"suspend-sink", sink_, "1"});
  return serverPids_.size() == 2 && ::kill(serverPids_[1], SIGSTOP) == 0;
}

bool TestSoundServer::unstall() {
  if (kind_ == ServerKind::pulseaudio) return pactl({"suspend-sink", sink_, "0"});
  return serverPids_.size() == 2 && ::kill(serverPids_[1], SIGCONT) == 0;
}

void TestSoundServer::killSessionManager() {
  if (pipewire_) pipewire_->signal(SIGUSR1);
}
void TestSoundServer::restartSessionManager() {
  if (pipewire_) pipewire_->signal(SIGUSR2);
}

}  // namespace talvex::testing
