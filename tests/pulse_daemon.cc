#include "tests/pulse_daemon.h"

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace talvex::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

PulseDaemon::PulseDaemon(bool withSink) {
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
  daemon_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/pulseaudio", "-n", "-F", dir_ + "/test.pa",
                               "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no"},
      env);
  daemon_->closeInput();
  const std::map<std::string, std::string> client = {{"PULSE_SERVER", server_}};
  for (int i = 0; i < 100 && !ready_; ++i) {
    ready_ = run({"/usr/bin/pactl", "info"}, "", client, 5s).exitStatus == 0;
    if (!ready_) std::this_thread::sleep_for(50ms);
  }
  if (ready_ && withSink) {
    keepalive_ = std::make_unique<ChildProcess>(
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

bool PulseDaemon::pactl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, "", {{"PULSE_SERVER", server_}}, 10s).exitStatus == 0;
}

PulseDaemon::~PulseDaemon() {
  keepalive_.reset();
  daemon_.reset();  // kills what still runs and reaps it
  if (!dir_.empty()) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
}

}  // namespace talvex::testing
