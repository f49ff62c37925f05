#include "lumipose/analyze/frames_ahead.h"

#include "lumipose/output/frames_format.h"

namespace talvex::lumipose {
namespace {

// Frames held ahead: four analysed ones; their pictures are the memory that counts.
constexpr size_t kAhead = 4 * kAnalysisEvery;

}  // namespace

FramesAhead::FramesAhead(media::VideoFrameReader& reader)
    : thread_([this, &reader](std::stop_token stop) { decode(reader, stop); }) {}

FramesAhead::~FramesAhead() {
  {
    // Under the lock, so the decoding thread cannot miss it between its check and its wait.
    std::lock_guard lock(mu_);
    thread_.request_stop();
  }
  room_.notify_all();
}

int64_t FramesAhead::counted() {
  std::lock_guard lock(mu_);
  return counted_;
}

std::optional<DecodedFrame> FramesAhead::next() {
  std::unique_lock lock(mu_);
  ready_.wait(lock, [this] { return !frames_.empty() || done_; });
  if (frames_.empty()) return std::nullopt;
  DecodedFrame f = std::move(frames_.front());
  frames_.pop_front();
  room_.notify_one();
  return f;
}

void FramesAhead::decode(media::VideoFrameReader& reader, std::stop_token stop) {
  int64_t n = 0, decoded = 0;
  while (!stop.stop_requested()) {
    auto pts = reader.nextFrame();
    if (!pts) break;
    // A frame skipped as damaged keeps its place in the count, so the frames due for analysis
    // stay where they are in the movie.
    n = reader.damagedFrames() + ++decoded;
    DecodedFrame f{n, *pts, nullptr};
    if (isAnalysisFrame(n)) {
      // A frame whose picture cannot be had is counted but not analysed. The decoder's own
      // picture goes to the detectors, which convert it to RGB once, without an NV12 step.
      if (auto image = reader.picture())
        f.image = std::make_unique<PixelBuffer>(std::move(image.value()));
    }
    std::unique_lock lock(mu_);
    room_.wait(lock, [&] { return frames_.size() < kAhead || stop.stop_requested(); });
    frames_.push_back(std::move(f));
    ready_.notify_one();
  }
  std::lock_guard lock(mu_);
  counted_ = reader.damagedFrames() + decoded;
  done_ = true;
  ready_.notify_all();
}

}  // namespace talvex::lumipose
