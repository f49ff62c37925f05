#include "lumipose/output/analyze_file.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>

#include "lumipose/analysis/analyzer.h"
#include "lumipose/output/line_writer.h"
#include "lumipose/output/progress_line.h"
#include "platform/media/read/movie_asset.h"
#include "platform/media/read/video_frame_reader.h"
#include "platform/process/output.h"
#include "platform/vision/load_detector.h"

namespace talvex::lumipose {
namespace {

// Every third frame is analysed.
constexpr int64_t kAnalysisEvery = 3;

// One decoded frame: its number (from 1), its time, and its picture if it is analysed.
struct DecodedFrame {
  int64_t n = 0;
  media::MediaTime pts;
  std::unique_ptr<PixelBuffer> image;
};

// Decodes on a thread of its own, a few frames ahead of the analysis, so decoding and the
// detectors overlap instead of taking turns. Lifecycle: started by the constructor, read with
// next() until it gives nothing, stopped (and joined) by the destructor. Threading: next() from
// one thread; the reader belongs to the decoding thread until the destructor returns.
class FramesAhead {
 public:
  explicit FramesAhead(media::VideoFrameReader& reader)
      : thread_([this, &reader](std::stop_token stop) { decode(reader, stop); }) {}
  ~FramesAhead() {
    {
      // Under the lock, so the decoding thread cannot miss it between its check and its wait.
      std::lock_guard lock(mu_);
      thread_.request_stop();
    }
    room_.notify_all();
  }

  std::optional<DecodedFrame> next() {
    std::unique_lock lock(mu_);
    ready_.wait(lock, [this] { return !frames_.empty() || done_; });
    if (frames_.empty()) return std::nullopt;
    DecodedFrame f = std::move(frames_.front());
    frames_.pop_front();
    room_.notify_one();
    return f;
  }

 private:
  // Frames held ahead: four analysed ones; the pictures are the memory that counts.
  static constexpr size_t kAhead = 4 * kAnalysisEvery;

  void decode(media::VideoFrameReader& reader, std::stop_token stop) {
    int64_t n = 0;
    while (!stop.stop_requested()) {
      auto pts = reader.nextFrame();
      if (!pts) break;
      DecodedFrame f{++n, *pts, nullptr};
      if (n % kAnalysisEvery == 0) {
        // A frame whose picture cannot be had is counted but not analysed.
        if (auto image = reader.image())
          f.image = std::make_unique<PixelBuffer>(std::move(image.value()));
      }
      std::unique_lock lock(mu_);
      room_.wait(lock, [&] { return frames_.size() < kAhead || stop.stop_requested(); });
      frames_.push_back(std::move(f));
      ready_.notify_one();
    }
    std::lock_guard lock(mu_);
    done_ = true;
    ready_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable ready_, room_;
  std::deque<DecodedFrame> frames_;
  bool done_ = false;
  std::jthread thread_;  // last: started once everything it uses exists
};

}  // namespace

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
  {
    FramesAhead frames(**reader);
    while (auto f = frames.next()) {
      n = f->n;
      if (n == 1) t0 = f->pts;
      const double t = media::subtract(f->pts, t0).seconds();
      progress.frame(n, t);
      if (f->image) put(analyzer.line(*f->image, t));
    }
  }
  const Status closed = writer->close();
  progress.finish();
  if (!closed) fail(closed.message());
  printResult("analysed " + std::to_string(n / kAnalysisEvery) + " of " + std::to_string(n) +
              " frames");
}

}  // namespace talvex::lumipose
