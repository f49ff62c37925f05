// What a recorded movie holds, what the V4L2 emulator's log says about the frames it delivered,
// and how the movie's frames are matched to them: the device frame a movie starts with.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace talvex::testing {

// A movie's first video stream as ffprobe reports it.
struct Movie {
  std::string codec;
  int width = 0, height = 0;
  std::vector<double> pts;  // presentation times of its frames, in order
};
Movie probe(const std::filesystem::path& movie);
// The frames its video track decodes to, or -1 when it cannot be read.
int decodedFrames(const std::filesystem::path& movie);
// What FFmpeg complains of while decoding the whole movie: "" for one that plays cleanly.
std::string decodeErrors(const std::filesystem::path& movie);
// The start_epoch of a frames file's header line, or nullopt when it has none.
std::optional<double> startEpoch(const std::filesystem::path& framesFile);

// What the emulated device logged: the format it streamed and every frame it delivered.
struct DeviceLog {
  std::vector<std::string> streams;  // "MJPG 1280x720 1/30"
  struct Frame {
    long long monoUs, wallUs;
  };
  std::vector<Frame> frames;
};
DeviceLog readDeviceLog(const std::filesystem::path& p);

// The device frame a movie starts with: the one whose timestamp, as the movie's zero, puts
// every movie frame on a frame the device delivered (within the movie's 1/90000 s grid).
// Null when there is none, i.e. the movie does not follow the driver's timestamps.
const DeviceLog::Frame* movieOrigin(const Movie& movie, const DeviceLog& log);

}  // namespace talvex::testing
