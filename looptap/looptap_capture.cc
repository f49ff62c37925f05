#include "looptap/looptap_capture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "looptap/lines.h"

namespace talvex::looptap {

using audio::AudioBuffer;
using audio::AudioFormat;
using audio::CaptureStream;
using audio::StreamAttempt;

namespace {
const audio::StreamConfiguration kConfig;
const AudioFormat kConfiguredFormat{kConfig.sampleRate, kConfig.channels};
}  // namespace

LooptapCapture::LooptapCapture(std::string outputPath,
                               std::unique_ptr<audio::CaptureService> service, ProcessEdge edge)
    : outputPath_(std::move(outputPath)),
      edge_(std::move(edge)),
      timeline_(kConfig.sampleRate, kConfig.channels),
      service_(std::move(service)) {}

LooptapCapture::~LooptapCapture() {
  stopTicker();
  std::unique_ptr<CaptureStream> stream;
  {
    std::lock_guard<std::mutex> lock(streamMutex_);
    stream = std::move(stream_);
  }
  if (stream) (void)stream->stop();
}

void LooptapCapture::endWith(int status, const std::string& line) {
  if (!claimEnding()) return;
  edge_.err(line);
  edge_.exit(status);
}

void LooptapCapture::start() {
  auto content = service_->shareableContent();
  if (!content) return endWith(3, "ERR:no-permission");
  if (content->sinks.empty()) return endWith(4, "ERR:no-display");
  const audio::OutputSink sink = content->sinks.front();
  const audio::StreamConfiguration& config = kConfig;

  std::unique_ptr<CaptureStream> running;
  // The first attempt's failure is not reported: the fallback's outcome is what counts.
  auto first = service_->makeStream(sink, config, StreamAttempt::namedMonitor, *this, audioQueue_);
  if (first && (*first)->start()) {
    running = std::move(*first);
  } else {
    auto fallback =
        service_->makeStream(sink, config, StreamAttempt::reportedMonitor, *this, audioQueue_);
    if (!fallback) return endWith(5, "ERR:" + fallback.message());
    Status started = (*fallback)->start();
    if (!started) return endWith(5, "ERR:" + started.message());
    running = std::move(*fallback);
  }

  std::lock_guard<std::mutex> lock(streamMutex_);
  // A stop that already ran has written the last line; this stream only has to exist until
  // the process ends, and the released file keeps its buffers out.
  const bool late = stopRequested_;
  stream_ = std::move(running);
  if (late) return;
  // Frame 0 of the file is the sound at the moment the parent reads this line.
  const TimePoint origin = edge_.now();
  edge_.err("STARTED");
  audioQueue_.async([this, origin] { timeline_.begin(origin); });
  startTicker();
}

void LooptapCapture::startTicker() {
  ticker_.async([this] {
    ticking_ = true;
    lastTick_ = edge_.now();
    ticker_.asyncAfter(tickEvery, [this] { tick(); });
  });
}

void LooptapCapture::tick() {
  if (!ticking_) return;
  const TimePoint now = edge_.now();
  // The server went on while this process was stopped: what it queued meanwhile comes as one
  // burst, which the timeline has to be told about to place.
  if (now - lastTick_ > frozenAfter)
    audioQueue_.async([this, from = lastTick_, until = now] { timeline_.frozen(from, until); });
  lastTick_ = now;
  audioQueue_.async([this] {
    if (!fileReleased_) timeline_.release(edge_.now(), *this);
  });
  ticker_.asyncAfter(tickEvery, [this] { tick(); });
}

// Once this returns no tick runs, and none is posted to the audio queue any more.
void LooptapCapture::stopTicker() {
  ticker_.sync([this] { ticking_ = false; });
}

void LooptapCapture::releaseFile() {
  audioFile_.reset();
  fileReleased_ = true;
}

bool LooptapCapture::ensureFile(const AudioFormat& format) {
  if (audioFile_) return true;
  if (fileReleased_) return false;
  auto file = audio::WavFile::create(outputPath_, format);
  if (!file) {
    reportWriteError(file.message());
    return false;
  }
  audioFile_ = std::move(*file);
  return true;
}

void LooptapCapture::reportWriteError(const std::string& message) {
  // A token bucket: a burst of lines, then one a second.
  const TimePoint now = edge_.now();
  if (lastWriteError_)
    writeErrorTokens_ = std::min<double>(
        writeErrorBurst,
        writeErrorTokens_ + std::chrono::duration<double>(now - *lastWriteError_).count());
  lastWriteError_ = now;
  if (writeErrorTokens_ < 1) return;
  writeErrorTokens_ -= 1;
  edge_.err("ERR:write:" + message);
}

void LooptapCapture::count(int64_t frames, float level) {
  frames_ += frames;
  framesSinceLevel_ += frames;
  if (framesSinceLevel_ >= levelEveryFrames) {
    framesSinceLevel_ = 0;
    edge_.err(levelLine(level));
  }
}

bool LooptapCapture::silence(int64_t frames) {
  if (!ensureFile(kConfiguredFormat)) return false;
  const int64_t before = audioFile_->frames();
  Status written = audioFile_->writeSilence(frames);
  count(audioFile_->frames() - before, 0.0f);
  if (!written) reportWriteError(written.message());
  return written.isOk();
}

void LooptapCapture::truncate(int64_t position) {
  if (!audioFile_) return;
  Status cut = audioFile_->truncate(position);
  // What is written again in place of what was cut counts towards the next level line only
  // once, so the lines keep following the file's length.
  framesSinceLevel_ -= frames_ - audioFile_->frames();
  frames_ = audioFile_->frames();
  if (!cut) reportWriteError(cut.message());
}

void LooptapCapture::lost(Clock::duration length) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", std::chrono::duration<double>(length).count());
  edge_.err(std::string("ERR:lost:") + seconds);
}

void LooptapCapture::audio(Timeline::Entry& entry) {
  if (!ensureFile(kConfiguredFormat)) return;
  const int64_t before = audioFile_->frames();
  Status written = audioFile_->write(kConfiguredFormat, entry.samples);
  const int64_t added = audioFile_->frames() - before;
  if (added > 0) count(added, entry.level);
  if (!written) reportWriteError(written.message());
}

bool LooptapCapture::stop() {
  if (!claimEnding()) return false;
  // The file reaches up to this moment, whatever the server delivered by then.
  const TimePoint end = edge_.now();
  CaptureStream* stream = nullptr;
  {
    std::lock_guard<std::mutex> lock(streamMutex_);
    stopRequested_ = true;
    stream = stream_.get();
  }
  // After the flag: a start that has not started the ticker yet never will.
  stopTicker();
  // A failed stop request changes nothing: the file is closed and the count reported anyway.
  if (stream) (void)stream->stop();
  int64_t frames = 0;
  // Behind every buffer the stream posted before it stopped.
  audioQueue_.sync([&] {
    if (!fileReleased_) timeline_.finish(end, *this);
    releaseFile();
    frames = frames_;
  });
  edge_.err("STOPPED:" + std::to_string(frames));
  return true;
}

void LooptapCapture::didStopWithError(const std::string& description) {
  if (!claimEnding()) return;
  {
    std::lock_guard<std::mutex> lock(streamMutex_);
    stopRequested_ = true;
  }
  stopTicker();
  // The header is current after every write; closing also finishes it the regular way.
  audioQueue_.sync([&] {
    if (!fileReleased_) timeline_.finish(std::nullopt, *this);
    releaseFile();
  });
  edge_.err("ERR:stopped:" + description);
  edge_.exit(6);
}

void LooptapCapture::didOutputAudio(AudioBuffer& buffer) {
  if (!buffer.valid || !buffer.format) return;
  const AudioFormat format = *buffer.format;
  if (format.channels == 0 || !(format.sampleRate > 0)) return;
  // Samples that do not make whole frames cannot be read as frames.
  if (buffer.samples.size() % format.channels != 0) return;
  if (fileReleased_) return;

  const bool pausedForLevel = paused_.load(std::memory_order_relaxed);
  float level = 0.0f;
  if (!pausedForLevel) {
    // A NaN compares false and so never raises the peak.
    for (float v : buffer.samples) {
      const float a = std::fabs(v);
      if (a > level) level = a;
    }
  }
  // A pause that starts after the measurement still silences this buffer.
  if (pausedForLevel || paused_.load(std::memory_order_relaxed))
    std::fill(buffer.samples.begin(), buffer.samples.end(), 0.0f);

  if (buffer.sounded && format == kConfiguredFormat) {
    const TimePoint now = edge_.now();
    timeline_.add({std::vector<float>(buffer.samples.begin(), buffer.samples.end()),
                   buffer.frameLength(), level, *buffer.sounded, now});
    timeline_.release(now, *this);
    return;
  }

  // A buffer without a moment goes where the file stands, behind what is held.
  timeline_.finish(std::nullopt, *this);
  if (!ensureFile(format)) return;
  const int64_t before = audioFile_->frames();
  Status written = audioFile_->write(format, buffer.samples);
  // Frames a failed write still got into the file count: the count is the file's length.
  count(audioFile_->frames() - before, level);
  if (!written) reportWriteError(written.message());
}

}  // namespace talvex::looptap
