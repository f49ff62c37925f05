#include "overlay/overlay_movie.h"

#include <optional>

#include "overlay/record_drawing.h"
#include "overlay/record_cursor.h"
#include "platform/draw/canvas.h"
#include "platform/media/write/movie_rewriter.h"

namespace talvex::overlay {

Result<MovieSummary> writeOverlayMovie(MovieSource& movie, const FramesFile& frames,
                                       const std::string& out, std::stop_token stop) {
  using R = Result<MovieSummary>;
  auto writer = media::MovieRewriter::open(*movie.asset, movie.video, out);
  if (!writer) return R::failure("cannot write " + out + ": " + writer.message());

  MovieSummary sum;
  RecordCursor cursor(frames.records);
  media::MediaTime t0;
  PixelBuffer drawn;
  // The drawing of the current record, made once and laid over each frame it holds for.
  std::optional<draw::Picture> layer;
  const Record* layerOf = nullptr;
  while (auto pts = movie.reader->nextFrame()) {
    if (stop.stop_requested()) return R::failure("interrupted");
    if (sum.frames == 0) t0 = *pts;
    auto image = movie.reader->image();
    if (!image) return R::failure("cannot read " + movie.asset->path() + ": " + image.message());
    const Record* rec = cursor.at(media::subtract(*pts, t0).seconds());
    if (!rec) {
      if (Status s = (*writer)->append(*image, *pts); !s)
        return R::failure("cannot write " + out + ": " + s.message());
      ++sum.frames;
      continue;
    }
    const double w = image->width(), h = image->height();
    if (rec != layerOf) {
      auto fresh = draw::Picture::createTransparent(image->width(), image->height());
      if (!fresh) return R::failure(fresh.message());
      {
        draw::Canvas canvas(*fresh);
        drawRecord(canvas, *rec, {0, 0, w, h});
      }
      layer = std::move(fresh).value();
      layerOf = rec;
    }
    auto picture = draw::Picture::fromFrame(*image);
    if (!picture) return R::failure(picture.message());
    {
      draw::Canvas canvas(*picture);
      canvas.drawPicture(*layer, 0, 0, w, h);
    }
    if (drawn.width() != image->width() || drawn.height() != image->height())
      drawn = PixelBuffer::allocateNV12(image->width(), image->height());
    if (Status s = picture->toFrame(drawn); !s) return R::failure(s.message());
    if (Status s = (*writer)->append(drawn, *pts); !s)
      return R::failure("cannot write " + out + ": " + s.message());
    ++sum.frames;
  }
  if (Status s = (*writer)->finish(); !s)
    return R::failure("cannot write " + out + ": " + s.message());
  sum.records = cursor.reached();
  return sum;
}

}  // namespace talvex::overlay
