// `talvex-lumipose mux`: the output read back sample by sample and packet by packet.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/media/media_fixtures.h"
#include "platform/media/movie_asset.h"
#include "tests/child_process.h"

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
    EXPECT_NEAR(media::MovieAsset::open(out)->duration().seconds(), c.duration, 0.001) << label;
    expectSameVideo(video, out);
  }
}

TEST_F(Mux, TrimSwallowingTheWholeSoundGivesSilentMovie) {
  RunResult r = mux({video, wav, out, "-10"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "muxed\n");
  auto asset = media::MovieAsset::open(out);
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

}  // namespace
}  // namespace talvex
