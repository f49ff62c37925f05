#include "lumipose/analyze/analyze_file.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <system_error>

#include "lumipose/analysis/analyzer.h"
#include "lumipose/analyze/frames_ahead.h"
#include "lumipose/analyze/progress_line.h"
#include "lumipose/output/frames_format.h"
#include "lumipose/output/line_writer.h"
#include "platform/media/read/movie_asset.h"
#include "platform/media/read/video_frame_reader.h"
#include "platform/process/output.h"
#include "platform/vision/load_detector.h"

namespace talvex::lumipose {
Status analyzeFile(const std::string& moviePath, const std::string& framesPath) {
  // A file that cannot be read at all says the same as an audio-only movie.
  auto opened = media::MovieAsset::open(moviePath);
  if (!opened) return Status::failure("no video track in " + moviePath);
  const media::MovieAsset& asset = *opened.value();
  const auto videoTracks = asset.tracks(media::MediaType::Video);
  if (videoTracks.empty()) return Status::failure("no video track in " + moviePath);

  auto reader = media::VideoFrameReader::create(asset, videoTracks.front());
  if (!reader) return Status::failure("cannot read " + moviePath);
  // One decoding thread: it runs ahead of the analysis on its own thread and keeps up many
  // times over (about 1.1 ms a 720p frame), while frame threads would cost about a quarter more
  // CPU and take the cores the detectors' two threads need.
  if (!(*reader)->start(1)) return Status::failure("cannot start reading");

  // The models load after every check on the movie, so a bad movie gets its own line, and
  // before the frames file is touched, so a failed load leaves an existing file as it was.
  auto detector = vision::loadDetector();
  if (!detector) return detector.status();

  // Creating the frames file empties it: when it is the movie itself (by any name or link),
  // that would destroy the movie, so it counts as a frames file that cannot be opened.
  std::error_code notSame;
  if (std::filesystem::equivalent(moviePath, framesPath, notSame))
    return Status::failure("cannot start reading");
  auto openedFrames = LineWriter::open(framesPath);
  if (!openedFrames) return Status::failure("cannot start reading");
  std::unique_ptr<LineWriter> writer = std::move(openedFrames).value();
  ProgressLine progress(STDERR_FILENO, videoTracks.front().duration.isNumeric()
                                           ? videoTracks.front().duration.seconds()
                                           : asset.duration().seconds());
  // A frames file that cannot take a line (disk full) is a failed run, not a short one; the
  // progress line is cleared first so the error line starts on a line of its own.
  auto writeFailed = [&writer, &progress] {
    progress.finish();
    return Status::failure(*writer->error());
  };
  if (!writer->write(startEpochRecord(std::nullopt))) return writeFailed();

  Analyzer analyzer(std::move(detector).value());
  int64_t n = 0;
  media::MediaTime t0;
  {
    FramesAhead frames(**reader);
    while (auto f = frames.next()) {
      // The first frame that decodes starts the timeline, whatever was skipped before it.
      if (n == 0) t0 = f->pts;
      n = f->n;
      const double t = media::subtract(f->pts, t0).seconds();
      progress.frame(n, t);
      if (f->image && !writer->write(analyzer.line(*f->image, t))) return writeFailed();
    }
    n = frames.counted();
  }
  const Status closed = writer->close();
  progress.finish();
  if (!closed) return closed;
  // What the file holds: a frame without a time, or whose record has no JSON form, is no
  // record.
  printResult("analysed " + std::to_string(writer->lines() - 1) + " of " + std::to_string(n) +
              " frames");
  return Status::ok();
}

}  // namespace talvex::lumipose
