// An edit of source tracks placed on a new timeline, which an export session writes out.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/media/media_time.h"
#include "platform/media/read/movie_asset.h"
#include "platform/process/result.h"

namespace talvex::media {

// One time range of a source track, placed at `at` on the composition's timeline.
struct CompositionSegment {
  std::shared_ptr<const SourceFile> source;
  AssetTrack sourceTrack;
  MediaTime sourceStart;
  MediaTime duration;
  MediaTime at;
};

struct CompositionTrack {
  MediaType type = MediaType::Video;
  int trackId = 0;
  DisplayMatrix preferredTransform = kIdentityMatrix;
  std::vector<CompositionSegment> segments;
};

// Lifecycle: built on one thread, then handed to an export session, which takes a copy. Holds
// no open files: sources are named by path and opened by the export.
//
// What the export can write bounds what the edit accepts: one video and one audio track, video
// copied without re-encoding (so only whole tracks from their start), audio cut to the sample.
class Composition {
 public:
  // The new track, owned by the composition; nothing when the composition already holds a
  // track of that type. `preferredTrackId` 0 lets the composition choose.
  CompositionTrack* addTrack(MediaType type, int preferredTrackId = 0);

  // Places `duration` of `source` from `sourceStart` at `at` on `track`. An empty range
  // places nothing and succeeds.
  Status insertTimeRange(CompositionTrack& track, const MediaTime& sourceStart,
                         const MediaTime& duration, const MovieAsset& asset,
                         const AssetTrack& source, const MediaTime& at);

  void setPreferredTransform(CompositionTrack& track, const DisplayMatrix& m) {
    track.preferredTransform = m;
  }

  const std::deque<CompositionTrack>& tracks() const { return tracks_; }

 private:
  std::deque<CompositionTrack> tracks_;  // a deque keeps the pointers addTrack gave valid
};

}  // namespace talvex::media
