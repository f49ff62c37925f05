#include "tests/pipewire_camera_graph.h"

#include <signal.h>

#include <regex>
#include <sstream>
#include <thread>

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

// Runs the service script in a shell that stays until SIGTERM, then stops the service.
const char* kGraphShell = R"(
. "$1"
pipewire_service_start $2 >&2 || exit 1
trap 'pipewire_service_stop; exit 0' TERM
echo "READY $PIPEWIRE_SERVICE_DIR/run $PIPEWIRE_PID" >&2
while :; do sleep 1 & wait $!; done
)";

}  // namespace

PipewireCameraGraph::PipewireCameraGraph(Camera camera, const std::string& file) {
  const std::string option = camera == Camera::TestPicture ? "--camera"
                             : camera == Camera::V4l2
                                 ? "--v4l2-camera=" + buildPath("libv4l2_emulator.so") + "," + file
                                 : "";
  shell_ = std::make_unique<RunningProgram>(std::vector<std::string>{
      "/bin/bash", "-c", kGraphShell, "pipewire-camera-test",
      std::string(TALVEX_SOURCE_DIR) + "/scripts/pipewire_service.sh", option});
  shell_->closeInput();
  auto line = shell_->waitForLine("READY ", 30s, /*prefix=*/true);
  if (!line) return;
  std::istringstream in(line->substr(6));
  in >> runtimeDir_ >> daemon_;
  if (camera == Camera::Client || camera == Camera::CodedClient) {
    client_ = true;
    coded_ = camera == Camera::CodedClient;
    clientLog_ = file;
    if (!startClient()) {
      runtimeDir_.clear();
      return;
    }
  }
  // The camera node is made from the daemon's configuration, before it answers; wait for it
  // anyway, so that no test races the start-up.
  for (int i = 0; i < 100 && !cameraId(); ++i) std::this_thread::sleep_for(50ms);
}

bool PipewireCameraGraph::startClient() {
  std::vector<std::string> argv{buildPath("pipewire-test-camera")};
  if (coded_) argv.push_back("--coded");
  argv.push_back("ci_camera");
  if (!clientLog_.empty()) argv.push_back(clientLog_);
  camera_ = std::make_unique<RunningProgram>(argv, env());
  return camera_->waitForLine("READY ", 10s, /*prefix=*/true).has_value();
}

PipewireCameraGraph::~PipewireCameraGraph() {
  if (camera_) {
    camera_->signal(SIGTERM);
    camera_->wait(10s);
  }
  if (!shell_) return;
  shell_->signal(SIGTERM);
  shell_->wait(15s);
}

std::map<std::string, std::string> PipewireCameraGraph::env() const {
  return {{"PIPEWIRE_RUNTIME_DIR", runtimeDir_}, {"XDG_RUNTIME_DIR", runtimeDir_}};
}

std::string PipewireCameraGraph::pwCli(const std::string& args) const {
  return shell("PIPEWIRE_RUNTIME_DIR='" + runtimeDir_ + "' timeout 10 pw-cli " + args +
               " 2>/dev/null");
}

std::optional<unsigned> PipewireCameraGraph::cameraId() const {
  // "\tid 31, type PipeWire:Interface:Node/3" followed by its properties.
  const std::string list = pwCli("ls Node");
  static const std::regex node(
      R"(id (\d+), type PipeWire:Interface:Node[^\n]*\n((?:\s+[^\n]*=[^\n]*\n)*))");
  for (std::sregex_iterator it(list.begin(), list.end(), node), end; it != end; ++it)
    if ((*it)[2].str().find("node.name = \"ci_camera\"") != std::string::npos)
      return unsigned(std::stoul((*it)[1].str()));
  return std::nullopt;
}

int PipewireCameraGraph::linksFromCamera() const {
  const auto id = cameraId();
  if (!id) return 0;
  const std::string list = pwCli("ls Link");
  const std::string key = "link.output.node = \"" + std::to_string(*id) + "\"";
  int n = 0;
  for (size_t at = list.find(key); at != std::string::npos; at = list.find(key, at + 1)) ++n;
  return n;
}

bool PipewireCameraGraph::removeCamera() {
  const auto id = cameraId();
  if (!id) return false;
  if (camera_) {
    // Our client camera goes as a program that owns a camera ends.
    camera_->signal(SIGTERM);
    camera_->wait(10s);
    camera_.reset();
  } else {
    pwCli("destroy " + std::to_string(*id));
  }
  for (int i = 0; i < 100; ++i) {
    if (!cameraId()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

bool PipewireCameraGraph::addCamera() {
  if (client_) {
    if (!startClient()) return false;
  } else {
    // It outlives pw-cli's connection (object.linger), as a node the daemon made does.
    pwCli(
        "create-node adapter '{ factory.name = videotestsrc node.name = ci_camera "
        "node.description = \"CI camera\" media.class = Video/Source media.role = Camera "
        "object.linger = true }'");
  }
  for (int i = 0; i < 100; ++i) {
    if (cameraId()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

void PipewireCameraGraph::killDaemon() {
  if (daemon_ > 0) ::kill(daemon_, SIGKILL);
}

}  // namespace talvex::testing
