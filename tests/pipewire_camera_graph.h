// A private headless PipeWire graph with a camera node, for the tests of the PipeWire camera:
// scripts/pipewire_service.sh --camera (WirePlumber as session manager, PipeWire's own test
// picture as a Video/Source node with the role Camera), controlled with pw-cli.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tests/child_process.h"

namespace talvex::testing {

// Lifecycle: started by the constructor, stopped (every process it began) by the destructor.
class PipewireCameraGraph {
 public:
  PipewireCameraGraph();
  ~PipewireCameraGraph();
  PipewireCameraGraph(const PipewireCameraGraph&) = delete;
  PipewireCameraGraph& operator=(const PipewireCameraGraph&) = delete;

  bool ready() const { return !runtimeDir_.empty(); }
  // What a client needs in its environment to find this graph, as libpipewire reads it.
  std::map<std::string, std::string> env() const;
  // Runs pw-cli with `args` against the graph; what it printed.
  std::string pwCli(const std::string& args) const;
  // The camera node's id, when it is there.
  std::optional<unsigned> cameraId() const;
  // How many links leave the camera node: one per program streaming from it.
  int linksFromCamera() const;
  // Takes the camera node away, as an unplugged camera's node goes, and brings it back.
  bool removeCamera() const;
  bool addCamera() const;
  // Ends the graph's daemon at once, as a crash would.
  void killDaemon();

 private:
  std::unique_ptr<ChildProcess> shell_;  // the shell that runs the service script
  std::string runtimeDir_;
  pid_t daemon_ = -1;
};

}  // namespace talvex::testing
