// A movie or sound file opened by path: its tracks and its duration, read once at open.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/media/media_time.h"

namespace talvex::media {

class SourceFile;

enum class MediaType { Video, Audio };

// A track's orientation as the QuickTime track header stores it: a 3x3 matrix, row-major,
// a b u / c d v / x y w, with a b c d x y in 16.16 fixed point and u v w in 2.30.
using DisplayMatrix = std::array<int32_t, 9>;
constexpr DisplayMatrix kIdentityMatrix = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};

struct AssetTrack {
  int streamIndex = -1;  // position of the track among the file's streams
  MediaType type = MediaType::Video;
  MediaTime start;     // presentation time of its first sample
  MediaTime duration;  // invalid when the file does not say
  DisplayMatrix preferredTransform = kIdentityMatrix;
  int width = 0, height = 0;             // video
  int sampleRate = 0, channelCount = 0;  // audio
};

// Lifecycle: open() opens and probes the file and keeps it open, so readers and exports made
// from the asset read the file that was opened, even once its path is removed or replaced.
// Immutable after open(); safe to read from any thread.
class MovieAsset {
 public:
  // Never fails: a file that is missing or is not a readable movie gives an asset without
  // tracks, and openError() says why.
  static std::unique_ptr<MovieAsset> open(const std::string& path);

  const std::string& path() const { return path_; }
  std::vector<AssetTrack> tracks(MediaType type) const;
  // The end of its longest track; zero when it has none.
  MediaTime duration() const { return duration_; }
  const std::string& openError() const { return openError_; }
  // The open file; nothing for a file that could not be opened.
  const std::shared_ptr<const SourceFile>& source() const { return source_; }

 private:
  std::string path_;
  std::vector<AssetTrack> tracks_;
  MediaTime duration_ = MediaTime::zero();
  std::string openError_;
  std::shared_ptr<const SourceFile> source_;
};

}  // namespace talvex::media
