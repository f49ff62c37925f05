// The WAV file looptap records into: 16-bit signed PCM, little-endian, interleaved.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/audio/audio_buffer.h"
#include "platform/process/result.h"
#include "platform/process/unique_fd.h"

namespace talvex::audio {

// An open WAV file. Lifecycle: create() -> write()* / writeSilence()* -> destruction, which
// closes the file with final sizes in its header. The header is also brought up to date after
// every write, so a process killed mid-recording leaves a readable file holding everything
// written so far. Float samples are clipped to full scale on conversion, never wrapped around.
//
// Layout: "RIFF" "WAVE", a 28-byte "JUNK" chunk, a plain PCM "fmt " chunk (format tag 1, what
// every WAV reader takes), "data". Once the data outgrows 32-bit sizes (4 GiB) the file turns
// itself into RF64: "RIFF" becomes "RF64" and the JUNK chunk becomes the "ds64" chunk that
// holds the 64-bit sizes, so a recording of many hours is neither cut short nor corrupted.
//
// A write that fails part-way (a full disk) leaves the file as it was before it: frames() and
// the header count only whole frames that are on disk, and the next write starts right after
// them.
//
// Not thread-safe: one thread (the audio queue) uses it at a time.
class WavFile {
 public:
  // Creates the file at `path`, replacing any file there. Anything but a regular file there (a
  // pipe, a device) is refused with "not a regular file: <path>", and a pipe is never waited on.
  static Result<std::unique_ptr<WavFile>> create(const std::string& path, AudioFormat format);
  ~WavFile();
  WavFile(const WavFile&) = delete;
  WavFile& operator=(const WavFile&) = delete;

  // Appends interleaved frames in `format`, which must be the file's own.
  Status write(const AudioFormat& format, std::span<const float> interleaved);
  // Appends `frames` frames of digital silence.
  Status writeSilence(int64_t frames);
  // Cuts the file back to its first `frames` frames (no-op when it holds no more).
  Status truncate(int64_t frames);

  const AudioFormat& format() const { return format_; }
  // Whole frames in the file.
  int64_t frames() const { return frames_; }

  // Where the data would outgrow 32-bit sizes. Tests lower it to see the RF64 form without
  // writing gigabytes.
  void setRf64ThresholdForTesting(uint64_t dataBytes) { rf64Threshold_ = dataBytes; }

 private:
  WavFile(UniqueFd fd, AudioFormat format);
  Status appendBytes(const unsigned char* data, size_t size);
  Status updateHeader();

  UniqueFd fd_;
  AudioFormat format_;
  int64_t frames_ = 0;
  bool rf64_ = false;
  uint64_t rf64Threshold_;
};

}  // namespace talvex::audio
