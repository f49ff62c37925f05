#include "platform/audio/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace talvex::audio {
namespace {

// Byte offsets of the header fields that change while recording.
constexpr off_t kRiffSizeAt = 4;
constexpr off_t kJunkAt = 12;  // becomes "ds64"
constexpr off_t kDs64BodyAt = 20;
constexpr off_t kDataSizeAt = 76;
constexpr off_t kDataAt = 80;
// What the RIFF size counts besides the samples: "WAVE", JUNK/ds64, fmt and the data header.
constexpr uint64_t kRiffOverhead = 4 + (8 + 28) + (8 + 16) + 8;

void put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::string systemError(int code) { return std::strerror(code); }

// Writes all of `size` bytes at `offset`; returns how many were written before a failure and
// the errno of that failure (0 when all were written).
std::pair<size_t, int> pwriteAll(int fd, const void* data, size_t size, off_t offset) {
  const auto* p = static_cast<const unsigned char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return {done, errno};
    }
    if (n == 0) return {done, EIO};
    done += static_cast<size_t>(n);
  }
  return {done, 0};
}

int16_t toPcm16(float v) {
  // NaN has no sample value; silence is the least surprising one.
  if (!(v == v)) return 0;
  const float scaled = v * 32768.0f;
  if (scaled >= 32767.0f) return 32767;
  if (scaled <= -32768.0f) return -32768;
  return static_cast<int16_t>(std::lrintf(scaled));
}

}  // namespace

WavFile::WavFile(UniqueFd fd, AudioFormat format)
    : fd_(std::move(fd)), format_(format), rf64Threshold_(0xffffffffull - kRiffOverhead) {}

WavFile::~WavFile() {
  // Cut any piece of a frame a failed write left behind, so the length matches the header.
  (void)::ftruncate(fd_.get(), kDataAt + frames_ * 2 * static_cast<off_t>(format_.channels));
}

Result<std::unique_ptr<WavFile>> WavFile::create(const std::string& path, AudioFormat format) {
  if (format.channels == 0 || format.channels > 64 || !(format.sampleRate >= 1) ||
      format.sampleRate > 1e7)
    return Status::failure("unsupported audio format");
  // Never waits for a pipe's reader: a recording goes into a regular file only.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644));
  if (!fd.valid() && errno != ENXIO) return Status::failure(systemError(errno));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return Status::failure("not a regular file: " + path);
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  std::unique_ptr<WavFile> file(new WavFile(std::move(fd), format));

  const uint32_t rate = static_cast<uint32_t>(std::lround(format.sampleRate));
  const uint16_t blockAlign = static_cast<uint16_t>(2 * format.channels);
  unsigned char h[kDataAt] = {};
  std::memcpy(h, "RIFF", 4);
  put32(h + 4, static_cast<uint32_t>(kRiffOverhead));
  std::memcpy(h + 8, "WAVE", 4);
  // Room for the ds64 chunk the file needs if it ever grows past 4 GiB.
  std::memcpy(h + kJunkAt, "JUNK", 4);
  put32(h + 16, 28);
  std::memcpy(h + 48, "fmt ", 4);
  put32(h + 52, 16);
  put16(h + 56, 1);  // plain integer PCM
  put16(h + 58, static_cast<uint16_t>(format.channels));
  put32(h + 60, rate);
  put32(h + 64, rate * blockAlign);
  put16(h + 68, blockAlign);
  put16(h + 70, 16);
  std::memcpy(h + 72, "data", 4);
  put32(h + kDataSizeAt, 0);
  auto [written, error] = pwriteAll(file->fd_.get(), h, sizeof h, 0);
  if (error != 0) {
    file.reset();
    ::unlink(path.c_str());
    return Status::failure(systemError(error));
  }
  return file;
}

Status WavFile::write(const AudioFormat& format, std::span<const float> interleaved) {
  if (format != format_) return Status::failure("audio format differs from the file's");
  const size_t frames = interleaved.size() / format_.channels;
  const size_t samples = frames * format_.channels;
  if (samples == 0) return Status::ok();
  // Converted in slices so a long buffer needs no buffer of its own size.
  std::vector<int16_t> pcm(std::min<size_t>(samples, 8192 / format_.channels * format_.channels));
  for (size_t at = 0; at < samples; at += pcm.size()) {
    const size_t n = std::min(pcm.size(), samples - at);
    for (size_t i = 0; i < n; ++i) pcm[i] = toPcm16(interleaved[at + i]);
    Status s = appendBytes(reinterpret_cast<const unsigned char*>(pcm.data()), n * 2);
    if (!s) return s;
  }
  return Status::ok();
}

Status WavFile::writeSilence(int64_t frames) {
  if (frames <= 0) return Status::ok();
  const size_t frameBytes = 2 * format_.channels;
  const std::vector<unsigned char> zeros(
      std::min<size_t>(static_cast<size_t>(frames) * frameBytes, 65536 / frameBytes * frameBytes),
      0);
  uint64_t left = static_cast<uint64_t>(frames) * frameBytes;
  while (left > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
    Status s = appendBytes(zeros.data(), n);
    if (!s) return s;
    left -= n;
  }
  return Status::ok();
}

Status WavFile::truncate(int64_t frames) {
  if (frames < 0 || frames >= frames_) return Status::ok();
  frames_ = frames;
  if (::ftruncate(fd_.get(), kDataAt + frames_ * 2 * static_cast<off_t>(format_.channels)) != 0)
    return Status::failure(systemError(errno));
  return updateHeader();
}

Status WavFile::appendBytes(const unsigned char* data, size_t size) {
  const size_t frameBytes = 2 * format_.channels;
  const off_t at = kDataAt + static_cast<off_t>(frames_) * static_cast<off_t>(frameBytes);
  auto [written, error] = pwriteAll(fd_.get(), data, size, at);
  frames_ += static_cast<int64_t>(written / frameBytes);
  if (error != 0) {
    // Keep the file exactly as long as its whole frames; the next write continues there.
    (void)::ftruncate(fd_.get(), kDataAt + frames_ * static_cast<off_t>(frameBytes));
    (void)updateHeader();
    return Status::failure(systemError(error));
  }
  return updateHeader();
}

Status WavFile::updateHeader() {
  const uint64_t dataBytes = static_cast<uint64_t>(frames_) * 2 * format_.channels;
  if (!rf64_ && dataBytes > rf64Threshold_) {
    // Sizes first, then the markers: a reader never sees "RF64" without a filled-in ds64.
    unsigned char ds64[28] = {};
    put64(ds64, kRiffOverhead + dataBytes);
    put64(ds64 + 8, dataBytes);
    put64(ds64 + 16, static_cast<uint64_t>(frames_));
    if (int e = pwriteAll(fd_.get(), ds64, sizeof ds64, kDs64BodyAt).second)
      return Status::failure(systemError(e));
    unsigned char all32[4];
    put32(all32, 0xffffffffu);
    if (int e = pwriteAll(fd_.get(), all32, 4, kRiffSizeAt).second)
      return Status::failure(systemError(e));
    if (int e = pwriteAll(fd_.get(), all32, 4, kDataSizeAt).second)
      return Status::failure(systemError(e));
    if (int e = pwriteAll(fd_.get(), "ds64", 4, kJunkAt).second)
      return Status::failure(systemError(e));
    if (int e = pwriteAll(fd_.get(), "RF64", 4, 0).second) return Status::failure(systemError(e));
    rf64_ = true;
    return Status::ok();
  }
  if (rf64_) {
    unsigned char sizes[24];
    put64(sizes, kRiffOverhead + dataBytes);
    put64(sizes + 8, dataBytes);
    put64(sizes + 16, static_cast<uint64_t>(frames_));
    if (int e = pwriteAll(fd_.get(), sizes, sizeof sizes, kDs64BodyAt).second)
      return Status::failure(systemError(e));
    return Status::ok();
  }
  unsigned char size[4];
  put32(size, static_cast<uint32_t>(kRiffOverhead + dataBytes));
  if (int e = pwriteAll(fd_.get(), size, 4, kRiffSizeAt).second)
    return Status::failure(systemError(e));
  put32(size, static_cast<uint32_t>(dataBytes));
  if (int e = pwriteAll(fd_.get(), size, 4, kDataSizeAt).second)
    return Status::failure(systemError(e));
  return Status::ok();
}

}  // namespace talvex::audio
