#include "platform/audio/wav_file.h"

#include <cmath>

#include "platform/audio/sndfile_handle.h"

namespace talvex::audio {

struct WavFile::Impl {
  SndfilePtr file;
};

WavFile::WavFile(std::unique_ptr<Impl> impl, AudioFormat format)
    : impl_(std::move(impl)), format_(format) {}

WavFile::~WavFile() = default;

Result<std::unique_ptr<WavFile>> WavFile::create(const std::string& path, AudioFormat format) {
  if (format.channels == 0 || !(format.sampleRate >= 1) || format.sampleRate > 1e7)
    return Status::failure("unsupported audio format");
  SF_INFO info{};
  info.samplerate = static_cast<int>(std::lround(format.sampleRate));
  info.channels = static_cast<int>(format.channels);
  // RF64 that downgrades itself to plain WAVE while the data fits in 32-bit sizes: below
  // 4 GiB readers see an ordinary WAV file, beyond it nothing wraps around.
  info.format = SF_FORMAT_RF64 | SF_FORMAT_PCM_16 | SF_ENDIAN_FILE;
  SndfilePtr file(sf_open(path.c_str(), SFM_WRITE, &info));
  if (!file) return Status::failure(sf_strerror(nullptr));
  SNDFILE* f = file.get();
  // Each must hold before the first write; a file without them is not the file we promise.
  if (sf_command(f, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE) != SF_TRUE)
    return Status::failure("cannot enable the RF64 downgrade to WAVE");
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  if (sf_command(f, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE) != SF_TRUE)
    return Status::failure("cannot keep the WAV header current");
  auto impl = std::make_unique<Impl>();
  impl->file = std::move(file);
  return std::unique_ptr<WavFile>(new WavFile(std::move(impl), format));
}

Status WavFile::write(const AudioFormat& format, std::span<const float> interleaved) {
  if (format != format_) return Status::failure("audio format differs from the file's");
  const sf_count_t frames = static_cast<sf_count_t>(interleaved.size() / format_.channels);
  if (frames == 0) return Status::ok();
  const sf_count_t written = sf_writef_float(impl_->file.get(), interleaved.data(), frames);
  frames_ += written;
  if (written != frames) return Status::failure(sf_strerror(impl_->file.get()));
  return Status::ok();
}

}  // namespace talvex::audio
