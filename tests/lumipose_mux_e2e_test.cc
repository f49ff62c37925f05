// `talvex-lumipose mux`: the output read back sample by sample and packet by packet.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/media/read/movie_asset.h"
#include "platform/media/testing/media_fixtures.h"
#include "tests/run_program.h"

namespace talvex {
namespace {

using media::MediaTime;
using media::fixtures::TempDir;
using testing::RunResult;

RunResult mux(std::vector<std::string> args) {
  args.insert(args.begin(), {testing::buildPath("talvex-lumipose"), "mux"});
  return testing::run(args);
}

void expectSameVideo(const std::string& source, const std::string& muxed) {
  auto a = media::fixtures::readVideoPackets(source);
  auto b = media::fixtures::readVideoPackets(muxed);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_FALSE(a.empty());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(a[i].data == b[i].data) << "packet " << i << " was changed";
    EXPECT_EQ(media::compare(a[i].pts, b[i].pts), 0)
        << "packet " << i << ": " << a[i].pts.seconds() << " became " << b[i].pts.seconds();
  }
}

class Mux : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(media::fixtures::makeMovie(video, 90));  // 3 s
    ASSERT_TRUE(media::fixtures::makeWav(wav, 6));
    auto w = media::fixtures::readAudio(wav);
    ASSERT_TRUE(w);
    ASSERT_EQ(w->frames(), 288000);
    source = *w;
  }
  TempDir dir;
  const std::string video = dir.file("rec.mov");
  const std::string wav = dir.file("sys.wav");
  const std::string out = dir.file("out.mov");
  media::fixtures::AudioReadback source;
};

TEST_F(Mux, PlacesEveryInstantOfTheSoundAtItsTimePlusTheOffset) {
  struct Case {
    std::vector<std::string> offset;
    int64_t startSample;  // where the sound begins in the output
    int64_t firstSource;  // the first sample of the WAV that is kept
    double duration;      // of the whole output: the video is 3 s, nothing is cut at its end
  } cases[] = {
      {{}, 0, 0, 6.0},         {{"0"}, 0, 0, 6.0},        {{"1.5"}, 72000, 0, 7.5},
      {{"-2"}, 0, 96000, 4.0}, {{"nonsense"}, 0, 0, 6.0},
  };
  for (const auto& c : cases) {
    const std::string label = c.offset.empty() ? "(none)" : c.offset[0];
    std::vector<std::string> args = {video, wav, out};
    args.insert(args.end(), c.offset.begin(), c.offset.end());
    RunResult r = mux(args);
    ASSERT_EQ(r.exitStatus, 0) << label << r.err;
    EXPECT_EQ(r.out, "muxed\n");
    EXPECT_EQ(r.err, "");
    auto a = media::fixtures::readAudio(out);
    ASSERT_TRUE(a) << label;
    EXPECT_EQ(a->sampleRate, 48000);
    EXPECT_EQ(a->channels, 2);
    EXPECT_EQ(media::compare(a->start, MediaTime::make(c.startSample, 48000)), 0)
        << label << ": starts at " << a->start.seconds();
    ASSERT_EQ(a->frames(), 288000 - c.firstSource) << label;
    EXPECT_TRUE(std::equal(a->samples.begin(), a->samples.end(),
                           source.samples.begin() + c.firstSource * 2))
        << label << ": the sound is not the WAV's, sample for sample";
    EXPECT_NEAR(media::fixtures::openAsset(out)->duration().seconds(), c.duration, 0.001) << label;
    expectSameVideo(video, out);
  }
}

TEST_F(Mux, TrimSwallowingTheWholeSoundGivesSilentMovie) {
  RunResult r = mux({video, wav, out, "-10"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "muxed\n");
  auto asset = media::fixtures::openAsset(out);
  EXPECT_TRUE(asset->tracks(media::MediaType::Audio).empty());
  EXPECT_EQ(asset->tracks(media::MediaType::Video).size(), 1u);
  expectSameVideo(video, out);
}

TEST_F(Mux, KeepsRotationAndReadsFragmentedRecordings) {
  ASSERT_TRUE(media::fixtures::ffmpeg(
      {"-i", video, "-c", "copy", "-metadata:s:v:0", "rotate=90", dir.file("portrait.mov")}));
  const double turn = media::fixtures::videoRotation(dir.file("portrait.mov"));
  ASSERT_NEAR(std::abs(turn), 90, 0.01);
  RunResult r = mux({dir.file("portrait.mov"), wav, out, "0.25"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NEAR(media::fixtures::videoRotation(out), turn, 0.01);
  EXPECT_EQ(media::fixtures::videoCodecTag(out), "avc1");
  expectSameVideo(dir.file("portrait.mov"), out);

  // As the live recorder writes it: fragments, so that a killed recording stays playable.
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("frag.mov"), 45, 30, 160, 120,
                                         {"-g", "15", "-movflags", "+frag_keyframe+empty_moov"}));
  r = mux({dir.file("frag.mov"), wav, out, "0.5"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NEAR(media::fixtures::videoRotation(out), 0, 0.01);
  expectSameVideo(dir.file("frag.mov"), out);
  auto a = media::fixtures::readAudio(out);
  ASSERT_TRUE(a);
  EXPECT_EQ(media::compare(a->start, MediaTime::make(24000, 48000)), 0) << a->start.seconds();
  EXPECT_EQ(a->frames(), 288000);
}

TEST_F(Mux, JoinsWhatAKilledRecordingHolds) {
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("frag.mov"), 90, 30, 160, 120,
                                         {"-g", "15", "-movflags", "+frag_keyframe+empty_moov"}));
  std::filesystem::copy_file(dir.file("frag.mov"), dir.file("killed.mov"));
  std::filesystem::resize_file(dir.file("killed.mov"),
                               std::filesystem::file_size(dir.file("frag.mov")) / 2);
  RunResult r = mux({dir.file("killed.mov"), wav, out, "-1"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  expectSameVideo(dir.file("killed.mov"), out);
  auto a = media::fixtures::readAudio(out);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->frames(), 240000);
}

TEST_F(Mux, OutputMayReplaceAnInput) {
  // The old output is removed before the export; when it names an input, the input must still
  // be read as it was opened instead of being lost.
  std::filesystem::copy_file(video, dir.file("copy.mov"));
  RunResult r = mux({dir.file("copy.mov"), wav, dir.file("copy.mov"), "1"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  expectSameVideo(video, dir.file("copy.mov"));
  auto a = media::fixtures::readAudio(dir.file("copy.mov"));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->frames(), 288000);

  std::filesystem::copy_file(wav, dir.file("copy.wav"));
  r = mux({video, dir.file("copy.wav"), dir.file("copy.wav")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  a = media::fixtures::readAudio(dir.file("copy.wav"));
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->samples == source.samples);
}

TEST_F(Mux, MissingTracksAreReportedVideoFirst) {
  std::ofstream(out) << "previous output";
  struct Case {
    std::string video, audio, line;
  } cases[] = {
      {wav, wav, "ERR:no video track\n"},
      {dir.file("none.mov"), dir.file("none.wav"), "ERR:no video track\n"},
      {video, video, "ERR:no audio track\n"},
      {video, dir.file("none.wav"), "ERR:no audio track\n"},
  };
  for (const auto& c : cases) {
    RunResult r = mux({c.video, c.audio, out, "1"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, c.line);
    EXPECT_EQ(r.out, "");
  }
  std::ifstream in(out);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_EQ(s.str(), "previous output") << "failures before the export leave the output alone";
}

TEST_F(Mux, OutputThatCannotBeWrittenLeavesNoFile) {
  for (const std::string& target :
       {std::string("/proc/talvex-mux-test.mov"), dir.file("no/such/dir/out.mov")}) {
    RunResult r = mux({video, wav, target});
    EXPECT_EQ(r.exitStatus, 1) << target;
    EXPECT_EQ(r.err.rfind("ERR:mux failed: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_FALSE(std::filesystem::exists(target));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
  if (::geteuid() != 0) {  // permission bits do not hold back root; the cases above still ran
    std::filesystem::create_directory(dir.file("locked"));
    std::filesystem::permissions(dir.file("locked"), std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_exec);
    RunResult r = mux({video, wav, dir.file("locked/out.mov")});
    EXPECT_EQ(r.err, "ERR:mux failed: Permission denied\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("locked")));
  }
}

TEST_F(Mux, FailedExportRemovesTheOldOutputAndItsOwnFile) {
  // A movie whose sound is in a format nothing decodes: found as an audio track, then the
  // export cannot convert it.
  ASSERT_TRUE(media::fixtures::ffmpeg(
      {"-f", "lavfi", "-i", "sine=d=1", "-c:a", "pcm_s16le", dir.file("pcm.mov")}));
  std::ifstream in(dir.file("pcm.mov"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto at = bytes.find("sowt");
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 4, "zzzz");
  std::ofstream(dir.file("odd.mov"), std::ios::binary) << bytes;

  std::ofstream(out) << "previous output";
  RunResult r = mux({video, dir.file("odd.mov"), out});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err.rfind("ERR:mux failed: ", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(std::filesystem::exists(out)) << "the old output is removed before the export";
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().extension(), e.path().filename() == "sys.wav" ? ".wav" : ".mov")
        << "left behind: " << e.path();
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Only the inputs and `keep` may be left in the directory: no temporary file.
void expectOnlyInputsAnd(const TempDir& dir, const std::set<std::string>& keep) {
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "rec.mov" || name == "sys.wav" || keep.count(name)) << "left: " << name;
  }
}

TEST_F(Mux, EveryOutputNameTheFileSystemTakesWorks) {
  // The hidden temporary name beside the output must fit the file system's name limit too.
  const std::string twoByte = "\xc3\xa9";  // é: a cut must not fall inside it
  std::string accented = "x";
  while (accented.size() + 2 <= 251) accented += twoByte;
  const std::string names[] = {std::string(236, 'n') + ".mov", std::string(246, 'n') + ".mov",
                               std::string(251, 'n') + ".mov", accented + ".mov"};
  for (const std::string& name : names) {
    ASSERT_LE(name.size(), 255u);
    std::ofstream(dir.file(name)) << "previous output";
    RunResult r = mux({video, wav, dir.file(name), "0.5"});
    ASSERT_EQ(r.exitStatus, 0) << name.size() << ": " << r.err;
    EXPECT_EQ(r.out, "muxed\n");
    expectSameVideo(video, dir.file(name));
    auto a = media::fixtures::readAudio(dir.file(name));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->frames(), 288000);
    expectOnlyInputsAnd(dir, {name});
    std::filesystem::remove(dir.file(name));
  }
}

TEST_F(Mux, PlacementBeyondExactReachIsRefusedAndTheOutputKept) {
  // A 64-bit count of movie ticks reaches 2^32 s; the 6 s of sound may end exactly there.
  const std::string latest = "4294967290";
  RunResult ok = mux({video, wav, out, latest});
  ASSERT_EQ(ok.exitStatus, 0) << ok.err;
  auto a = media::fixtures::readAudio(out);
  ASSERT_TRUE(a);
  EXPECT_EQ(media::compare(a->start, MediaTime::make(4294967290LL * 48000, 48000)), 0)
      << a->start.seconds();
  EXPECT_EQ(a->frames(), 288000);

  for (const std::string offset : {"4294967291", "1e13", "1e14", "1e15", "inf"}) {
    std::ofstream(out) << "previous output";
    RunResult r = mux({video, wav, out, offset});
    EXPECT_EQ(r.exitStatus, 1) << offset;
    EXPECT_EQ(r.err.rfind("ERR:", 0), 0u) << offset << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << offset << ": one line: " << r.err;
    EXPECT_EQ(r.out, "") << offset;
    EXPECT_EQ(readBytes(out), "previous output") << offset;
  }
}

TEST_F(Mux, OutputThatIsNotAFileIsLeftAlone) {
  std::filesystem::create_directory(dir.file("folder"));
  std::ofstream(dir.file("folder/inside")) << "kept";
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);
  // The same device as /dev/full, made here so that a failure cannot harm the real one.
  ASSERT_EQ(::mknod(dir.file("full").c_str(), S_IFCHR | 0666, ::makedev(1, 7)), 0)
      << std::strerror(errno) << " (making a device node needs root)";
  std::filesystem::create_symlink(dir.file("full"), dir.file("link-to-full"));
  for (const std::string name : {"folder", "pipe", "full", "link-to-full"}) {
    RunResult r = mux({video, wav, dir.file(name)});
    EXPECT_EQ(r.exitStatus, 1) << name;
    EXPECT_EQ(r.err, "ERR:not a regular file: " + dir.file(name) + "\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(readBytes(dir.file("folder/inside")), "kept");
  EXPECT_TRUE(std::filesystem::is_fifo(dir.file("pipe")));
  EXPECT_TRUE(std::filesystem::is_character_file(dir.file("full")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link-to-full")));
  expectOnlyInputsAnd(dir, {"folder", "pipe", "full", "link-to-full"});
}

TEST_F(Mux, WavCutInsideASampleFrameGivesItsWholeFrames) {
  const std::string bytes = readBytes(wav);
  const size_t data = bytes.find("data");
  ASSERT_NE(data, std::string::npos);
  const size_t start = data + 8;
  struct Case {
    size_t length;
    int64_t frames;
  } cases[] = {
      {1000, static_cast<int64_t>((1000 - start) / 4)},
      // A whole packet of 4096 frames, then 2 bytes: the last packet holds no whole frame.
      {start + 4096 * 4 + 2, 4096},
      {start + 4096 * 4 + 3, 4096},
  };
  for (const auto& c : cases) {
    std::ofstream(dir.file("cut.wav"), std::ios::binary) << bytes.substr(0, c.length);
    RunResult r = mux({video, dir.file("cut.wav"), out});
    ASSERT_EQ(r.exitStatus, 0) << c.length << ": " << r.err;
    auto a = media::fixtures::readAudio(out);
    ASSERT_TRUE(a);
    ASSERT_EQ(a->frames(), c.frames) << c.length;
    EXPECT_TRUE(std::equal(a->samples.begin(), a->samples.end(), source.samples.begin()));
  }
}

TEST_F(Mux, VideoWithoutADecodableFrameIsRefused) {
  // A Matroska file cut inside its first cluster: the track is declared, no frame arrives.
  ASSERT_TRUE(media::fixtures::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=30",
                                       "-frames:v", "30", "-c:v", "libx264", dir.file("a.mkv")}));
  const std::string mkv = readBytes(dir.file("a.mkv"));
  const size_t cluster = mkv.find("\x1f\x43\xb6\x75");
  ASSERT_NE(cluster, std::string::npos);
  std::ofstream(dir.file("cut.mkv"), std::ios::binary) << mkv.substr(0, cluster + 16);
  // A movie whose every frame is noise.
  ASSERT_TRUE(
      media::fixtures::makeMovie(dir.file("f.mov"), 30, 30, 160, 120, {"-movflags", "+faststart"}));
  std::string mov = readBytes(dir.file("f.mov"));
  const size_t mdat = mov.find("mdat");
  ASSERT_NE(mdat, std::string::npos);
  uint32_t x = 7;
  for (size_t i = mdat + 4; i < mov.size(); ++i) {
    x = x * 1103515245u + 12345u;
    mov[i] = static_cast<char>(x >> 24);
  }
  std::ofstream(dir.file("noise.mov"), std::ios::binary) << mov;

  for (const std::string name : {"cut.mkv", "noise.mov"}) {
    std::ofstream(out) << "previous output";
    RunResult r = mux({dir.file(name), wav, out});
    EXPECT_EQ(r.exitStatus, 1) << name;
    EXPECT_EQ(r.err, "ERR:the video track holds no frame that can be decoded\n") << name;
    EXPECT_EQ(r.out, "") << name;
    EXPECT_EQ(readBytes(out), "previous output") << name;
  }
}

// Video without a container's times or durations: placed frame after frame by its frame rate,
// or refused with one line. Never "muxed" without a picture that plays.
TEST_F(Mux, VideoWithoutTimesIsPlacedOrRefused) {
  const std::string pattern = "testsrc=size=160x120:rate=30:d=2";
  ASSERT_TRUE(
      media::fixtures::ffmpeg({"-f", "lavfi", "-i", pattern, "-c:v", "libx264", "-bf", "0",
                               "-pix_fmt", "yuv420p", "-f", "h264", dir.file("plain.h264")}));
  ASSERT_TRUE(
      media::fixtures::ffmpeg({"-f", "lavfi", "-i", pattern, "-c:v", "libx264", "-bf", "2",
                               "-pix_fmt", "yuv420p", "-f", "h264", dir.file("reordered.h264")}));
  ASSERT_TRUE(media::fixtures::ffmpeg(
      {"-f", "lavfi", "-i", pattern, "-c:v", "mjpeg", "-f", "mjpeg", dir.file("raw.mjpeg")}));
  ASSERT_TRUE(media::fixtures::ffmpeg(
      {"-f", "lavfi", "-i", pattern, "-frames:v", "1", dir.file("still.png")}));
  ASSERT_TRUE(media::fixtures::ffmpeg(
      {"-f", "lavfi", "-i", pattern, "-pix_fmt", "yuv420p", dir.file("clip.y4m")}));
  struct Case {
    std::string input, err;
    int frames;  // in the muxed movie
  } cases[] = {
      {"plain.h264", "", 60},
      {"raw.mjpeg", "", 60},
      {"still.png", "", 1},
      {"reordered.h264", "ERR:mux failed: the video has no timestamps\n", 0},
      {"clip.y4m", "ERR:mux failed: the video could not be stored so that it plays\n", 0},
  };
  for (const Case& c : cases) {
    std::ofstream(out) << "previous output";
    RunResult r = mux({dir.file(c.input), wav, out});
    EXPECT_EQ(r.err, c.err) << c.input;
    if (c.err.empty()) {
      EXPECT_EQ(r.exitStatus, 0) << c.input;
      EXPECT_EQ(r.out, "muxed\n") << c.input;
      EXPECT_EQ(media::fixtures::readVideo(out).times.size(), size_t(c.frames)) << c.input;
      auto sound = media::fixtures::readAudio(out);
      ASSERT_TRUE(sound) << c.input;
      EXPECT_EQ(sound->frames(), 288000) << c.input;
    } else {
      EXPECT_EQ(r.exitStatus, 1) << c.input;
      EXPECT_EQ(r.out, "") << c.input;
      // As for any failed export: the old output is gone, and nothing half-made is left.
      EXPECT_FALSE(std::filesystem::exists(out)) << c.input;
    }
  }
  // The frames of the raw stream follow each other at its rate, from 0.
  ASSERT_EQ(mux({dir.file("plain.h264"), wav, out}).exitStatus, 0);
  const auto packets = media::fixtures::readVideoPackets(out);
  ASSERT_EQ(packets.size(), 60u);
  EXPECT_NEAR(packets.front().pts.seconds(), 0, 1e-9);
  EXPECT_NEAR(packets.back().pts.seconds(), 59.0 / 30, 1e-6);
  expectOnlyInputsAnd(
      dir, {"out.mov", "plain.h264", "reordered.h264", "raw.mjpeg", "still.png", "clip.y4m"});
}

}  // namespace
}  // namespace talvex
