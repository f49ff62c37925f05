#include "lumipose/output/analyze_file.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <system_error>

#include "lumipose/analysis/analyzer.h"
#include "lumipose/output/line_writer.h"
#include "lumipose/output/progress_line.h"
#include "platform/media/movie_asset.h"
#include "platform/media/video_frame_reader.h"
#include "platform/process/output.h"
#include "platform/vision/load_detector.h"

namespace talvex::lumipose {

void analyzeFile(const std::string& moviePath, const std::string& framesPath) {
  // A missing or unreadable file opens as an asset without tracks, so it reports "no video
  // track" like an audio-only movie does.
  auto asset = media::MovieAsset::open(moviePath);
  const auto videoTracks = asset->tracks(media::MediaType::Video);
  if (videoTracks.empty()) fail("no video track in " + moviePath);

  auto reader = media::VideoFrameReader::create(*asset, videoTracks.front());
  if (!reader) fail("cannot read " + moviePath);
  if (!(*reader)->start()) fail("cannot start reading");

  // The models load after every check on the movie, so a bad movie gets its own line, and
  // before the frames file is touched, so a failed load leaves an existing file as it was.
  auto detector = vision::loadDetector();
  if (!detector) fail(detector.message());

  // Creating the frames file empties it: when it is the movie itself (by any name or link),
  // that would destroy the movie, so it counts as a frames file that cannot be opened.
  std::error_code notSame;
  if (std::filesystem::equivalent(moviePath, framesPath, notSame)) fail("cannot start reading");
  auto writer = LineWriter::open(framesPath);
  if (!writer) fail("cannot start reading");
  ProgressLine progress(STDERR_FILENO, videoTracks.front().duration.isNumeric()
                                           ? videoTracks.front().duration.seconds()
                                           : asset->duration().seconds());
  // A frames file that cannot take a line (disk full) is a failed run, not a short one; the
  // progress line is cleared first so the error line starts on a line of its own.
  auto put = [&writer, &progress](const auto& record) {
    if (writer->write(record)) return;
    progress.finish();
    fail(*writer->error());
  };
  put(nlohmann::ordered_json{{"start_epoch", 0}});

  Analyzer analyzer(std::move(detector).value());
  int64_t n = 0;
  media::MediaTime t0;
  while (auto pts = (*reader)->nextFrame()) {
    ++n;
    if (n == 1) t0 = *pts;
    progress.frame(n, media::subtract(*pts, t0).seconds());
    if (n % 3 != 0) continue;
    auto image = (*reader)->image();
    if (!image) continue;
    const double t = media::subtract(*pts, t0).seconds();
    put(analyzer.line(*image, t));
  }
  const Status closed = writer->close();
  progress.finish();
  if (!closed) fail(closed.message());
  printResult("analysed " + std::to_string(n / 3) + " of " + std::to_string(n) + " frames");
}

}  // namespace talvex::lumipose
