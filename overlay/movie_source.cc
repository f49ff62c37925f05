#include "overlay/movie_source.h"

#include <cmath>

namespace talvex::overlay {

double MovieSource::durationSeconds() const {
  double d = video.duration.isNumeric() ? video.duration.seconds() : asset->duration().seconds();
  return std::isfinite(d) && d > 0 ? d : 0;
}

Result<MovieSource> openMovie(const std::string& path) {
  MovieSource m;
  auto asset = media::MovieAsset::open(path);
  // A file that cannot be read at all says the same as one without a picture.
  if (!asset) return Result<MovieSource>::failure("no video track in " + path);
  m.asset = std::move(asset).value();
  const auto tracks = m.asset->tracks(media::MediaType::Video);
  if (tracks.empty()) return Result<MovieSource>::failure("no video track in " + path);
  m.video = tracks.front();
  auto reader = media::VideoFrameReader::create(*m.asset, m.video);
  if (!reader || !(*reader)->start()) return Result<MovieSource>::failure("cannot read " + path);
  m.reader = std::move(reader).value();
  return m;
}

}  // namespace talvex::overlay
