// A private headless PipeWire graph with a camera node, for the tests of the PipeWire camera:
// scripts/pipewire_service.sh (WirePlumber as session manager) with a Video/Source node with the
// role Camera named ci_camera, controlled with pw-cli. The camera is PipeWire's own test picture
// (--camera), a client of ours (build/pipewire-test-camera) that several programs can read at
// once, or PipeWire's own V4L2 source reading the project's V4L2 emulator (--v4l2-camera).
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tests/run_program.h"

namespace talvex::testing {

// Lifecycle: started by the constructor, stopped (every process it began) by the destructor.
class PipewireCameraGraph {
 public:
  enum class Camera {
    TestPicture,  // PipeWire's videotestsrc, made by the daemon's configuration
    Client,       // build/pipewire-test-camera, YUY2 1280x720 at 30 fps
    CodedClient,  // the same, drawing each frame's number (tests/frame_code.h)
    V4l2,         // PipeWire's V4L2 source on the V4L2 emulator preloaded into the daemon
  };
  // `file`: for the client camera, where it writes each frame's capture moment (optional); for
  // the V4L2 camera, the emulator's device description (tests/v4l2_emulator).
  explicit PipewireCameraGraph(Camera camera = Camera::TestPicture, const std::string& file = "");
  ~PipewireCameraGraph();
  PipewireCameraGraph(const PipewireCameraGraph&) = delete;
  PipewireCameraGraph& operator=(const PipewireCameraGraph&) = delete;

  bool ready() const { return !runtimeDir_.empty(); }
  // What a client needs in its environment to find this graph, as libpipewire reads it.
  std::map<std::string, std::string> env() const;
  // The graph's PulseAudio server (pipewire-pulse; its default sink is the null sink
  // "ci_sink"), as PULSE_SERVER names it.
  std::string pulseServer() const { return "unix:" + runtimeDir_ + "/pulse/native"; }
  // Runs pw-cli with `args` against the graph; what it printed.
  std::string pwCli(const std::string& args) const;
  // The camera node's id, when it is there.
  std::optional<unsigned> cameraId() const;
  // How many links leave the camera node: one per program streaming from it.
  int linksFromCamera() const;
  // Takes the camera node away, as an unplugged camera's node goes, and brings it back.
  bool removeCamera();
  bool addCamera();
  // Ends the graph's daemon at once, as a crash would.
  void killDaemon();

 private:
  std::unique_ptr<RunningProgram> shell_;  // the shell that runs the service script
  bool startClient();

  std::unique_ptr<RunningProgram> camera_;  // the client camera, when it is ours and running
  bool client_ = false, coded_ = false;
  std::string clientLog_;
  std::string runtimeDir_;
  pid_t daemon_ = -1;
};

}  // namespace talvex::testing
