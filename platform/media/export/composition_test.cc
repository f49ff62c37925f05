#include "platform/media/export/composition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "platform/media/export/export_session.h"
#include "platform/media/testing/media_fixtures.h"
#include "platform/process/dispatch.h"

namespace talvex::media {
namespace {

using fixtures::openAsset;
using fixtures::TempDir;

class CompositionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixtures::makeMovie(dir.file("v.mov"), 30));
    ASSERT_TRUE(fixtures::makeWav(dir.file("a.wav"), 2, 44100));
    video = openAsset(dir.file("v.mov"));
    audio = openAsset(dir.file("a.wav"));
    ASSERT_EQ(video->tracks(MediaType::Video).size(), 1u);
    ASSERT_EQ(audio->tracks(MediaType::Audio).size(), 1u);
  }
  TempDir dir;
  std::unique_ptr<MovieAsset> video, audio;
};

TEST_F(CompositionTest, OneTrackPerMediaType) {
  Composition c;
  EXPECT_NE(c.addTrack(MediaType::Video), nullptr);
  EXPECT_NE(c.addTrack(MediaType::Audio), nullptr);
  EXPECT_EQ(c.addTrack(MediaType::Video), nullptr);
  EXPECT_EQ(c.tracks().size(), 2u);
  EXPECT_NE(c.tracks()[0].trackId, c.tracks()[1].trackId);
}

TEST_F(CompositionTest, RefusesRangesItCannotWrite) {
  Composition c;
  CompositionTrack* v = c.addTrack(MediaType::Video);
  CompositionTrack* a = c.addTrack(MediaType::Audio);
  const MediaTime zero = MediaTime::zero();
  const AssetTrack src = audio->tracks(MediaType::Audio)[0];
  EXPECT_FALSE(c.insertTimeRange(*v, zero, MediaTime::make(1, 1), *audio, src, zero))
      << "audio into a video track";
  EXPECT_FALSE(
      c.insertTimeRange(*a, MediaTime::make(1, 1), MediaTime::make(2, 1), *audio, src, zero))
      << "past the end of the source";
  EXPECT_FALSE(
      c.insertTimeRange(*a, zero, MediaTime::make(1, 1), *audio, src, MediaTime::make(-1, 600)));
  EXPECT_FALSE(c.insertTimeRange(*a, zero, MediaTime::make(1, 1), *audio, src,
                                 MediaTime::fromSeconds(INFINITY, 600)));
  EXPECT_TRUE(c.insertTimeRange(*a, zero, zero, *audio, src, zero));
  EXPECT_TRUE(a->segments.empty()) << "an empty range places nothing";
  EXPECT_FALSE(c.insertTimeRange(*v, MediaTime::make(10, 30), MediaTime::make(10, 30), *video,
                                 video->tracks(MediaType::Video)[0], zero))
      << "passthrough video cannot start mid-track";
  EXPECT_TRUE(c.insertTimeRange(*a, MediaTime::make(1, 3), MediaTime::make(1, 3), *audio, src,
                                MediaTime::make(7, 600)));
  EXPECT_FALSE(c.insertTimeRange(*a, zero, MediaTime::make(1, 3), *audio, src, zero))
      << "one range per track";
}

TEST_F(CompositionTest, ExportPlacesAudioOnItsSampleAtAnyRate) {
  Composition c;
  CompositionTrack* v = c.addTrack(MediaType::Video);
  CompositionTrack* a = c.addTrack(MediaType::Audio);
  const MediaTime zero = MediaTime::zero();
  ASSERT_TRUE(c.insertTimeRange(*v, zero, video->duration(), *video,
                                video->tracks(MediaType::Video)[0], zero));
  // 1/3 s of 44100 Hz is 14700 samples; 7/600 s is 514.5, taken to the nearest sample.
  ASSERT_TRUE(c.insertTimeRange(*a, MediaTime::make(1, 3), MediaTime::make(1, 2), *audio,
                                audio->tracks(MediaType::Audio)[0], MediaTime::make(7, 600)));
  EXPECT_EQ(ExportSession::create(Composition{}), nullptr);
  auto session = ExportSession::create(c);
  ASSERT_NE(session, nullptr);
  session->setOutputPath(dir.file("out.mov"));
  Semaphore done(0);
  session->exportAsynchronously([&] { done.release(); });
  done.acquire();
  ASSERT_TRUE(session->result()) << session->result().message();

  auto out = fixtures::readAudio(dir.file("out.mov"));
  auto src = fixtures::readAudio(dir.file("a.wav"));
  ASSERT_TRUE(out && src);
  EXPECT_EQ(out->sampleRate, 44100);
  EXPECT_EQ(compare(out->start, MediaTime::make(515, 44100)), 0) << out->start.seconds();
  ASSERT_EQ(out->frames(), 22050);
  EXPECT_TRUE(
      std::equal(out->samples.begin(), out->samples.end(), src->samples.begin() + 14700 * 2));
}

TEST_F(CompositionTest, FailedExportLeavesNothingBehind) {
  Composition c;
  CompositionTrack* v = c.addTrack(MediaType::Video);
  ASSERT_TRUE(c.insertTimeRange(*v, MediaTime::zero(), video->duration(), *video,
                                video->tracks(MediaType::Video)[0], MediaTime::zero()));
  // A non-empty directory at the output path: the movie is written, then cannot take its place.
  std::filesystem::create_directories(dir.file("taken/inside"));
  auto session = ExportSession::create(c);
  session->setOutputPath(dir.file("taken"));
  Semaphore done(0);
  session->exportAsynchronously([&] { done.release(); });
  done.acquire();
  const talvex::Status result = session->result();
  EXPECT_FALSE(result);
  EXPECT_NE(result.message(), "");
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 3u) << "only v.mov, a.wav and the directory";
}

}  // namespace
}  // namespace talvex::media
