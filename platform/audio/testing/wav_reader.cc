#include "platform/audio/testing/wav_reader.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/audio/testing/sndfile_handle.h"

namespace talvex::audio {
namespace {

uint32_t le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint64_t le64(const unsigned char* p) { return le32(p) | uint64_t(le32(p + 4)) << 32; }

// Walks the RIFF (or RF64) chunks up to "data". For RF64 the real size is in "ds64".
void readDeclaredSizes(const std::string& path, WavContents& c) {
  std::ifstream in(path, std::ios::binary);
  unsigned char head[12];
  if (!in.read(reinterpret_cast<char*>(head), 12)) return;
  const bool rf64 = std::memcmp(head, "RF64", 4) == 0;
  uint64_t ds64Data = 0;
  unsigned char chunk[8];
  while (in.read(reinterpret_cast<char*>(chunk), 8)) {
    const uint32_t size = le32(chunk + 4);
    if (std::memcmp(chunk, "ds64", 4) == 0) {
      unsigned char ds64[16];
      if (!in.read(reinterpret_cast<char*>(ds64), 16)) return;
      ds64Data = le64(ds64 + 8);
      in.seekg(size - 16 + (size & 1), std::ios::cur);
      continue;
    }
    if (std::memcmp(chunk, "data", 4) == 0) {
      c.declaredDataBytes = rf64 && size == 0xffffffffu ? ds64Data : size;
      const auto offset = static_cast<uint64_t>(in.tellg());
      c.dataBytesOnDisk = std::filesystem::file_size(path) - offset;
      return;
    }
    in.seekg(size + (size & 1), std::ios::cur);
  }
}

}  // namespace

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
  readDeclaredSizes(path, c);
  return c;
}

}  // namespace talvex::audio
