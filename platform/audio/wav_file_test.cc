#include "platform/audio/wav_file.h"
#include "platform/audio/testing/wav_reader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

namespace talvex::audio {
namespace {

namespace fs = std::filesystem;
const AudioFormat kStereo{48000, 2};

class WavFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("wav_file_test." + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  struct Contents {
    SF_INFO info{};
    std::vector<short> samples;
  };
  // Reads the file as an independent reader would, while or after it is written.
  static Contents read(const std::string& p) {
    Contents c;
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &c.info);
    if (!f) return c;
    c.samples.resize(static_cast<size_t>(c.info.frames * c.info.channels));
    sf_readf_short(f, c.samples.data(), c.info.frames);
    sf_close(f);
    return c;
  }

  // The container's first twelve bytes with the 32-bit size masked out.
  static std::string magic(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::string head(12, '\0');
    in.read(head.data(), 12);
    head.replace(4, 4, "....");
    return head;
  }

  fs::path dir_;
};

TEST_F(WavFileTest, WritesSixteenBitPcmWaveWithClipping) {
  auto file = WavFile::create(path("a.wav"), kStereo);
  ASSERT_TRUE(file) << file.message();
  // Beyond full scale must clip, never wrap to the opposite sign.
  std::vector<float> frames = {0.0f, 0.5f, -0.5f, 1.5f, -1.5f, 1.0f, 0.25f, -1.0f};
  ASSERT_TRUE((*file)->write(kStereo, frames));
  EXPECT_EQ((*file)->frames(), 4);
  file->reset();

  Contents c = read(path("a.wav"));
  // Below 4 GiB the file is a RIFF/WAVE file (extensible format header), not RF64.
  EXPECT_TRUE((c.info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV ||
              (c.info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAVEX)
      << std::hex << c.info.format;
  EXPECT_EQ(magic(path("a.wav")), "RIFF....WAVE");
  EXPECT_EQ(c.info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
  EXPECT_EQ(c.info.samplerate, 48000);
  EXPECT_EQ(c.info.channels, 2);
  ASSERT_EQ(c.info.frames, 4);
  EXPECT_EQ(c.samples[0], 0);
  EXPECT_NEAR(c.samples[1], 16384, 1);
  EXPECT_NEAR(c.samples[2], -16384, 1);
  EXPECT_EQ(c.samples[3], 32767);
  EXPECT_EQ(c.samples[4], -32768);
  EXPECT_GE(c.samples[5], 32766);
  EXPECT_NEAR(c.samples[6], 8192, 1);
  EXPECT_LE(c.samples[7], -32767);
}

TEST_F(WavFileTest, HeaderIsCurrentWhileStillOpen) {
  auto file = WavFile::create(path("open.wav"), kStereo);
  ASSERT_TRUE(file);
  std::vector<float> block(2 * 480, 0.125f);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE((*file)->write(kStereo, block));
  // Not closed: this is what a killed process leaves behind.
  Contents c = read(path("open.wav"));
  EXPECT_EQ(c.info.frames, 4800);
  EXPECT_EQ(c.info.channels, 2);
  // The header itself says so; lenient readers would guess from the file length otherwise.
  auto wav = readWav(path("open.wav"));
  ASSERT_TRUE(wav);
  EXPECT_EQ(wav->declaredDataBytes, 4800u * 4);
  EXPECT_EQ(wav->dataBytesOnDisk, 4800u * 4);
  ASSERT_EQ(c.samples.size(), 9600u);
  EXPECT_NEAR(c.samples.back(), 4096, 1);
}

TEST_F(WavFileTest, ReplacesAnExistingFile) {
  {
    auto first = WavFile::create(path("r.wav"), kStereo);
    std::vector<float> block(2 * 1000, 0.1f);
    ASSERT_TRUE((*first)->write(kStereo, block));
  }
  auto second = WavFile::create(path("r.wav"), AudioFormat{44100, 1});
  ASSERT_TRUE(second);
  std::vector<float> mono(10, 0.0f);
  ASSERT_TRUE((*second)->write(AudioFormat{44100, 1}, mono));
  second->reset();
  Contents c = read(path("r.wav"));
  EXPECT_EQ(c.info.frames, 10);
  EXPECT_EQ(c.info.samplerate, 44100);
  EXPECT_EQ(c.info.channels, 1);
}

TEST_F(WavFileTest, FailuresCarryADescription) {
  auto missing = WavFile::create(path("no/such/dir/x.wav"), kStereo);
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.message(), "");
  EXPECT_FALSE(fs::exists(path("no")));

  EXPECT_FALSE(WavFile::create(path("zero.wav"), AudioFormat{48000, 0}));
  EXPECT_FALSE(WavFile::create(path("nan.wav"), AudioFormat{std::nan(""), 2}));

  auto file = WavFile::create(path("m.wav"), kStereo);
  ASSERT_TRUE(file);
  std::vector<float> block(6, 0.0f);
  Status other = (*file)->write(AudioFormat{44100, 2}, block);
  EXPECT_FALSE(other);
  EXPECT_NE(other.message(), "");
  EXPECT_EQ((*file)->frames(), 0);
}

TEST_F(WavFileTest, OnlyARegularFileIsRecordedInto) {
  // A pipe without a reader would keep the open waiting; a device would take the recording.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  for (const std::string& p : {std::string("/dev/null"), path("fifo")}) {
    auto file = WavFile::create(p, kStereo);
    EXPECT_FALSE(file) << p;
    EXPECT_EQ(file.message(), "not a regular file: " + p);
  }
  EXPECT_TRUE(fs::is_fifo(path("fifo")));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// The header every reader takes: RIFF/WAVE, JUNK room for the 64-bit sizes, format tag 1.
TEST_F(WavFileTest, HeaderIsPlainPcmWithRoomForSixtyFourBitSizes) {
  auto file = WavFile::create(path("h.wav"), kStereo);
  ASSERT_TRUE(file);
  std::vector<float> block(2 * 100, 0.25f);
  ASSERT_TRUE((*file)->write(kStereo, block));
  ASSERT_TRUE((*file)->writeSilence(50));
  EXPECT_EQ((*file)->frames(), 150);
  file->reset();
  std::ifstream in(path("h.wav"), std::ios::binary);
  std::string h(80, '\0');
  in.read(h.data(), 80);
  auto u16 = [&](size_t at) { return uint16_t(uint8_t(h[at]) | uint8_t(h[at + 1]) << 8); };
  auto u32 = [&](size_t at) { return uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16; };
  EXPECT_EQ(h.substr(0, 4), "RIFF");
  EXPECT_EQ(u32(4), fs::file_size(path("h.wav")) - 8);
  EXPECT_EQ(h.substr(12, 4), "JUNK");
  EXPECT_EQ(u32(16), 28u);
  EXPECT_EQ(h.substr(48, 4), "fmt ");
  EXPECT_EQ(u16(56), 1);  // WAVE_FORMAT_PCM, not the extensible header
  EXPECT_EQ(u16(58), 2);
  EXPECT_EQ(u32(60), 48000u);
  EXPECT_EQ(u32(64), 48000u * 4);
  EXPECT_EQ(u16(68), 4);
  EXPECT_EQ(u16(70), 16);
  EXPECT_EQ(h.substr(72, 4), "data");
  EXPECT_EQ(u32(76), 150u * 4);
  Contents c = read(path("h.wav"));
  ASSERT_EQ(c.info.frames, 150);
  EXPECT_EQ(c.info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
  EXPECT_NEAR(c.samples[0], 8192, 1);
  EXPECT_EQ(c.samples.back(), 0);
}

TEST_F(WavFileTest, BecomesRf64PastTheThirtyTwoBitLimitAndStaysReadable) {
  auto file = WavFile::create(path("big.wav"), kStereo);
  ASSERT_TRUE(file);
  (*file)->setRf64ThresholdForTesting(4000);
  std::vector<float> block(2 * 600, 0.5f);
  ASSERT_TRUE((*file)->write(kStereo, block));  // 2400 bytes: still RIFF
  EXPECT_EQ(magic(path("big.wav")), "RIFF....WAVE");
  ASSERT_TRUE((*file)->write(kStereo, block));  // 4800 bytes: RF64
  EXPECT_EQ(magic(path("big.wav")), "RF64....WAVE");
  // Open, as a killed recorder leaves it: the ds64 sizes are current.
  auto open = readWav(path("big.wav"));
  ASSERT_TRUE(open) << open.message();
  EXPECT_EQ(open->frames, 1200);
  EXPECT_EQ(open->declaredDataBytes, 4800u);
  ASSERT_TRUE((*file)->writeSilence(300));
  file->reset();
  Contents c = read(path("big.wav"));
  EXPECT_EQ(c.info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
  ASSERT_EQ(c.info.frames, 1500);
  EXPECT_NEAR(c.samples[2399], 16384, 1);
  EXPECT_EQ(c.samples[2400], 0);
  auto closed = readWav(path("big.wav"));
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->declaredDataBytes, 6000u);
  EXPECT_EQ(closed->dataBytesOnDisk, 6000u);
}

// A write that runs out of room keeps only whole frames, the header says so, and writing
// continues right after them once there is room again.
TEST_F(WavFileTest, FailedWriteLeavesWholeFramesAndWritingResumes) {
  auto file = WavFile::create(path("full.wav"), kStereo);
  ASSERT_TRUE(file);
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  // 80 header bytes + 1000 frames + half a frame.
  rlimit limit = saved;
  limit.rlim_cur = 80 + 4000 + 2;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::vector<float> block(2 * 1500, 0.25f);
  Status s = (*file)->write(kStereo, block);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(s);
  EXPECT_NE(s.message(), "");
  EXPECT_EQ((*file)->frames(), 1000);
  EXPECT_EQ(fs::file_size(path("full.wav")), 80u + 4000u);
  auto partial = readWav(path("full.wav"));
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->declaredDataBytes, 4000u);
  EXPECT_EQ(partial->dataBytesOnDisk, 4000u);

  std::vector<float> after(2 * 10, -0.5f);
  ASSERT_TRUE((*file)->write(kStereo, after));
  file->reset();
  Contents c = read(path("full.wav"));
  ASSERT_EQ(c.info.frames, 1010);
  EXPECT_NEAR(c.samples[1999], 8192, 1);
  EXPECT_NEAR(c.samples[2000], -16384, 1);
}

}  // namespace
}  // namespace talvex::audio
