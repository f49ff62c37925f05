// Test movies made on the spot with the ffmpeg command-line tool, and ways to read back what a
// movie holds. For tests only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/image/pixel_buffer.h"
#include "platform/media/media_time.h"
#include "platform/media/read/movie_asset.h"

namespace talvex::media::fixtures {

// A fresh, empty directory under the system's temporary directory, named after `prefix`,
// removed with everything in it on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "talvex-media");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return (dir_ / name).string(); }
  const std::filesystem::path& path() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

// The asset at `path`, for a file the test made and expects to open; one that does not open
// throws std::runtime_error with the reason, which fails the calling test.
std::unique_ptr<MovieAsset> openAsset(const std::string& path);

// Runs `ffmpeg -nostdin -v error -y <args>`; true when it exits with status 0.
bool ffmpeg(const std::vector<std::string>& args);

// An H.264 QuickTime movie of `frames` frames of a test pattern at `fps` (B-frames included).
// `extra` goes before the output path (e.g. {"-movflags", "+frag_keyframe+empty_moov"}).
bool makeMovie(const std::string& path, int frames, int fps = 30, int width = 160, int height = 120,
               const std::vector<std::string>& extra = {});
// A 16-bit stereo WAV of a sine tone.
bool makeWav(const std::string& path, double seconds, int rate = 48000);

struct AudioReadback {
  int sampleRate = 0;
  int channels = 0;
  MediaTime start;               // where the first sample plays
  std::vector<int16_t> samples;  // interleaved
  int64_t frames() const { return channels ? static_cast<int64_t>(samples.size()) / channels : 0; }
};
// Decodes the first audio track (16-bit PCM only); nothing when there is none.
std::optional<AudioReadback> readAudio(const std::string& path);

// The first video track decoded to its end: each frame's time and picture, and why the reading
// ended early ("" when it got to the end). Empty when the movie has no video track.
struct VideoReadback {
  std::vector<MediaTime> times;
  std::vector<PixelBuffer> images;  // image(): NV12 full range
  std::string failure;
};
VideoReadback readVideo(const std::string& path);

struct PacketReadback {
  MediaTime pts;
  std::string data;
};
// The first video track's packets as stored, in file order.
std::vector<PacketReadback> readVideoPackets(const std::string& path);

// Rotation in degrees of the first video track's display matrix (0 without one).
double videoRotation(const std::string& path);
std::string videoCodecTag(const std::string& path);

}  // namespace talvex::media::fixtures
