// Sound re-encoded as AAC, for a movie format that cannot hold the source's codec (16-bit PCM
// in an MP4). Internal to platform/media.
#pragma once

#include <memory>

#include "platform/media/av_handles.h"
#include "platform/process/result.h"

namespace talvex::media {

// Lifecycle: create() adds the AAC stream to the output before its header is written; feed()
// every source packet in order, then feed(nullptr) once to flush. Threading: one thread.
class AacReencoder {
 public:
  static Result<std::unique_ptr<AacReencoder>> create(const AVStream& source, AVFormatContext* out);
  ~AacReencoder();
  AacReencoder(const AacReencoder&) = delete;
  AacReencoder& operator=(const AacReencoder&) = delete;

  // Decodes `pkt` (in the source stream's time base; nullptr at the end) and writes every AAC
  // packet that is complete to `out`, interleaved.
  Status feed(const AVPacket* pkt);

 private:
  struct Impl;
  explicit AacReencoder(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvex::media
