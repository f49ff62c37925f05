// The WAV file looptap records into: 16-bit signed PCM, little-endian, interleaved.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/audio/audio_buffer.h"
#include "platform/process/result.h"

namespace talvex::audio {

// An open WAV file. Lifecycle: create() -> write()* -> destruction, which closes the file with
// final sizes in its header. The header is also brought up to date after every write, so a
// process killed mid-recording leaves a readable file holding everything written so far.
// Float samples are clipped to full scale on conversion, never wrapped around.
//
// Files stay plain RIFF/WAVE while they are below 4 GiB and become RF64 (the 64-bit-size
// variant of WAVE) once they grow past it, so a recording of many hours is never corrupted.
//
// Not thread-safe: one thread (the audio queue) uses it at a time.
class WavFile {
 public:
  // Creates the file at `path`, replacing any file there.
  static Result<std::unique_ptr<WavFile>> create(const std::string& path, AudioFormat format);
  ~WavFile();
  WavFile(const WavFile&) = delete;
  WavFile& operator=(const WavFile&) = delete;

  // Appends interleaved frames in `format`, which must be the file's own.
  Status write(const AudioFormat& format, std::span<const float> interleaved);

  const AudioFormat& format() const { return format_; }
  int64_t frames() const { return frames_; }

 private:
  struct Impl;
  WavFile(std::unique_ptr<Impl> impl, AudioFormat format);
  std::unique_ptr<Impl> impl_;
  AudioFormat format_;
  int64_t frames_ = 0;
};

}  // namespace talvex::audio
