#include "looptap/looptap_capture.h"

#include <algorithm>
#include <cmath>

#include "looptap/lines.h"

namespace talvex::looptap {

using audio::AudioBuffer;
using audio::AudioFormat;
using audio::CaptureStream;
using audio::StreamAttempt;

LooptapCapture::LooptapCapture(std::string outputPath,
                               std::unique_ptr<audio::CaptureService> service, ProcessEdge edge)
    : outputPath_(std::move(outputPath)), edge_(std::move(edge)), service_(std::move(service)) {}

LooptapCapture::~LooptapCapture() {
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
  if (content->displays.empty()) return endWith(4, "ERR:no-display");
  const audio::Display display = content->displays.front();
  const audio::StreamConfiguration config;

  std::unique_ptr<CaptureStream> running;
  // The first attempt's failure is not reported: the fallback's outcome is what counts.
  auto first =
      service_->makeStream(display, config, StreamAttempt::namedMonitor, *this, audioQueue_);
  if (first && (*first)->start()) {
    running = std::move(*first);
  } else {
    auto fallback =
        service_->makeStream(display, config, StreamAttempt::reportedMonitor, *this, audioQueue_);
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
  if (!late) edge_.err("STARTED");
}

void LooptapCapture::releaseFile() {
  audioFile_.reset();
  fileReleased_ = true;
}

bool LooptapCapture::stop() {
  if (!claimEnding()) return false;
  CaptureStream* stream = nullptr;
  {
    std::lock_guard<std::mutex> lock(streamMutex_);
    stopRequested_ = true;
    stream = stream_.get();
  }
  // A failed stop request changes nothing: the file is closed and the count reported anyway.
  if (stream) (void)stream->stop();
  int64_t frames = 0;
  // Behind every buffer the stream posted before it stopped.
  audioQueue_.sync([&] {
    releaseFile();
    frames = frames_;
  });
  edge_.err("STOPPED:" + std::to_string(frames));
  return true;
}

void LooptapCapture::didStopWithError(const std::string& description) {
  if (!claimEnding()) return;
  // The header is current after every write; closing also finishes it the regular way.
  audioQueue_.sync([&] { releaseFile(); });
  edge_.err("ERR:stopped:" + description);
  edge_.exit(6);
}

void LooptapCapture::didOutputAudio(AudioBuffer& buffer) {
  if (!buffer.valid || !buffer.format) return;
  const AudioFormat format = *buffer.format;
  if (format.channels == 0 || !(format.sampleRate > 0)) return;
  // Samples that do not make whole frames cannot be read as frames.
  if (buffer.samples.size() % format.channels != 0) return;

  if (!audioFile_ && !fileReleased_) {
    auto file = audio::WavFile::create(outputPath_, format);
    if (!file) {
      edge_.err("ERR:write:" + file.message());
      return;
    }
    audioFile_ = std::move(*file);
  }

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

  if (audioFile_) {
    Status written = audioFile_->write(format, buffer.samples);
    if (!written) {
      edge_.err("ERR:write:" + written.message());
      return;
    }
  }

  const int64_t n = buffer.frameLength();
  frames_ += n;
  framesSinceLevel_ += n;
  if (framesSinceLevel_ >= levelEveryFrames) {
    framesSinceLevel_ = 0;
    edge_.err(levelLine(level));
  }
}

}  // namespace talvex::looptap
