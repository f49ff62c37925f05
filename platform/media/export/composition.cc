#include "platform/media/export/composition.h"

namespace talvex::media {
namespace {

// The export picks a movie timescale of up to 2^31 - 1 ticks per second so that every edit
// lands exactly; a 64-bit count of such ticks reaches 2^32 seconds (about 136 years), so that
// is as far as anything can be placed exactly.
const MediaTime kLatestExactEnd = MediaTime::make(int64_t{1} << 32, 1);

}  // namespace

CompositionTrack* Composition::addTrack(MediaType type, int preferredTrackId) {
  for (const auto& t : tracks_)
    if (t.type == type) return nullptr;
  int id = preferredTrackId;
  if (id <= 0) {
    id = 1;
    for (const auto& t : tracks_) id = std::max(id, t.trackId + 1);
  }
  for (const auto& t : tracks_)
    if (t.trackId == id) return nullptr;
  tracks_.push_back(CompositionTrack{type, id, kIdentityMatrix, {}});
  return &tracks_.back();
}

Status Composition::insertTimeRange(CompositionTrack& track, const MediaTime& sourceStart,
                                    const MediaTime& duration, const MovieAsset& asset,
                                    const AssetTrack& source, const MediaTime& at) {
  const MediaTime zero = MediaTime::zero();
  if (source.type != track.type)
    return Status::failure("the source track does not hold the composition track's media type");
  if (!sourceStart.isNumeric() || !duration.isNumeric() || !at.isNumeric() ||
      compare(sourceStart, zero) < 0 || compare(duration, zero) < 0 || compare(at, zero) < 0)
    return Status::failure("the time range is not valid");
  if (compare(duration, zero) == 0) return Status::ok();
  if (compare(add(sourceStart, duration), asset.duration()) > 0)
    return Status::failure("the time range lies beyond the end of the source");
  if (compare(add(at, duration), kLatestExactEnd) > 0)
    return Status::failure("the time range would end beyond what a movie can place exactly");
  if (!track.segments.empty())
    return Status::failure("the composition track already holds a time range");
  if (track.type == MediaType::Video && compare(sourceStart, zero) != 0)
    return Status::failure("video is copied without re-encoding, so its range must start at zero");
  if (!asset.source()) return Status::failure("the source file is not open");
  if (track.type == MediaType::Audio && source.sampleRate <= 0)
    return Status::failure("the audio track has no sample rate");
  track.segments.push_back(CompositionSegment{asset.source(), source, sourceStart, duration, at});
  return Status::ok();
}

}  // namespace talvex::media
