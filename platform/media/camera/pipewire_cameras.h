// The camera nodes a PipeWire daemon offers, and the mode each would stream in. Internal to
// platform/media.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/camera/capture_format.h"

namespace talvex::media {

class PipewireConnection;

struct PipewireCameraNode {
  uint32_t id = 0;
  std::string serial;     // object.serial: what a stream names as its target
  bool readable = false;  // the daemon lets this connection read it
  // The best mode its output offers (capture_format.h); absent when it could not be asked.
  std::optional<CaptureMode> mode;
};

// What the session's daemon offers, looked at without streaming.
struct PipewireCameras {
  bool reachable = false;  // a daemon answered
  int refusal = 0;         // EACCES or EPERM when it refused this connection
  // Nodes of class Video/Source and role Camera, in the daemon's order. A node we may read
  // is listed only when it offers a mode the capture path reads (PipeWire's own test picture
  // in RGB, say, is passed over); one we may not read is listed without a mode.
  std::vector<PipewireCameraNode> nodes;
};

// Asks an open connection; `deadline` bounds the whole conversation.
PipewireCameras listPipewireCameras(PipewireConnection& connection,
                                    std::chrono::steady_clock::time_point deadline);

// Connects, asks and disconnects. A missing daemon costs one failed connect(); one that does
// not answer costs at most `timeout`.
PipewireCameras findPipewireCameras(std::chrono::milliseconds timeout);

// How long the program waits for a daemon that is there but does not answer.
inline constexpr std::chrono::milliseconds kPipewireAnswerLimit{500};

}  // namespace talvex::media
