#include "platform/audio/wav_reader.h"

#include "platform/audio/sndfile_handle.h"

namespace talvex::audio {

Result<WavContents> readWav(const std::string& path) {
  SF_INFO info{};
  SndfilePtr file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) return Status::failure(sf_strerror(nullptr));
  WavContents c;
  c.sampleRate = info.samplerate;
  c.channels = info.channels;
  c.pcm16 = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
  c.samples.resize(static_cast<size_t>(info.frames * info.channels));
  c.frames = sf_readf_short(file.get(), c.samples.data(), info.frames);
  c.samples.resize(static_cast<size_t>(c.frames * info.channels));
  return c;
}

}  // namespace talvex::audio
