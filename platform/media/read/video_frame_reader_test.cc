#include "platform/media/read/video_frame_reader.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/media/read/movie_asset.h"
#include "platform/media/testing/media_fixtures.h"

namespace talvex::media {
namespace {

using fixtures::openAsset;
using fixtures::TempDir;

TEST(VideoFrameReader, DeliversEveryFrameInPresentationOrderWithExactTimes) {
  TempDir dir;
  const std::string movie = dir.file("b.mov");
  ASSERT_TRUE(fixtures::makeMovie(movie, 10));  // has B-frames: decode order != display order
  const fixtures::VideoReadback d = fixtures::readVideo(movie);
  ASSERT_EQ(d.times.size(), 10u);
  EXPECT_EQ(d.failure, "");
  for (size_t i = 0; i < d.times.size(); ++i) {
    MediaTime rel = subtract(d.times[i], d.times[0]);
    EXPECT_EQ(compare(rel, MediaTime::make(static_cast<int64_t>(i), 30)), 0) << i;
    EXPECT_FALSE(rel.flags & MediaTime::kHasBeenRounded) << i;
  }
}

TEST(VideoFrameReader, ReadsFragmentedMoviesWhoseFirstFrameIsLate) {
  TempDir dir;
  const std::string movie = dir.file("frag.mov");
  ASSERT_TRUE(fixtures::makeMovie(movie, 10, 30, 160, 120,
                                  {"-g", "4", "-movflags", "+frag_keyframe+empty_moov"}));
  const fixtures::VideoReadback d = fixtures::readVideo(movie);
  ASSERT_EQ(d.times.size(), 10u);
  // Without an edit list the B-frame delay shows: the first frame plays at 2/30 s.
  EXPECT_EQ(compare(d.times[0], MediaTime::make(2, 30)), 0) << d.times[0].seconds();
  EXPECT_EQ(compare(subtract(d.times[9], d.times[0]), MediaTime::make(9, 30)), 0);
}

TEST(VideoFrameReader, ImagesAreFullRangeNv12AndOnlyOnRequest) {
  TempDir dir;
  const std::string movie = dir.file("grey.mov");
  // Video-range white (235) and black (16) must come out as 255 and 0.
  ASSERT_TRUE(
      fixtures::ffmpeg({"-f", "lavfi", "-i", "color=white:s=64x48:r=30:d=0.1", "-f", "lavfi", "-i",
                        "color=black:s=64x48:r=30:d=0.1", "-filter_complex", "[0][1]concat=n=2",
                        "-c:v", "libx264", "-pix_fmt", "yuv420p", "-color_range", "tv", movie}));
  auto asset = openAsset(movie);
  auto reader = VideoFrameReader::create(*asset, asset->tracks(MediaType::Video).front());
  ASSERT_TRUE(reader);
  EXPECT_FALSE((*reader)->image()) << "no frame has been read yet";
  ASSERT_TRUE((*reader)->start());
  std::vector<int> firstLuma;
  while ((*reader)->nextFrame()) {
    auto image = (*reader)->image();
    ASSERT_TRUE(image) << image.message();
    ASSERT_EQ(image->width(), 64);
    ASSERT_EQ(image->height(), 48);
    ASSERT_EQ(image->planeCount(), 2);
    firstLuma.push_back(image->plane(0).base[20 * image->plane(0).bytesPerRow + 30]);
  }
  ASSERT_EQ(firstLuma.size(), 6u);
  EXPECT_GE(firstLuma.front(), 253);
  EXPECT_LE(firstLuma.back(), 2);
}

TEST(VideoFrameReader, TruncatedMovieEndsEarlyWithoutHanging) {
  TempDir dir;
  const std::string movie = dir.file("whole.mov");
  ASSERT_TRUE(fixtures::makeMovie(movie, 60, 30, 160, 120, {"-movflags", "+faststart"}));
  const auto size = std::filesystem::file_size(movie);
  std::filesystem::copy_file(movie, dir.file("cut.mov"));
  std::filesystem::resize_file(dir.file("cut.mov"), size * 2 / 3);
  const fixtures::VideoReadback d = fixtures::readVideo(dir.file("cut.mov"));
  EXPECT_GT(d.times.size(), 0u);
  EXPECT_LT(d.times.size(), 60u);
}

TEST(MovieAsset, ListsTracksDurationAndOrientation) {
  TempDir dir;
  const std::string wav = dir.file("tone.wav");
  ASSERT_TRUE(fixtures::makeWav(wav, 6));
  auto audio = openAsset(wav);
  EXPECT_TRUE(audio->tracks(MediaType::Video).empty());
  ASSERT_EQ(audio->tracks(MediaType::Audio).size(), 1u);
  EXPECT_EQ(audio->tracks(MediaType::Audio)[0].sampleRate, 48000);
  EXPECT_EQ(audio->tracks(MediaType::Audio)[0].channelCount, 2);
  EXPECT_EQ(compare(audio->duration(), MediaTime::make(6, 1)), 0) << audio->duration().seconds();

  ASSERT_TRUE(fixtures::makeMovie(dir.file("plain.mov"), 3));
  ASSERT_TRUE(fixtures::ffmpeg({"-i", dir.file("plain.mov"), "-c", "copy", "-metadata:s:v:0",
                                "rotate=90", dir.file("turned.mov")}));
  auto plain = openAsset(dir.file("plain.mov"));
  auto turned = openAsset(dir.file("turned.mov"));
  ASSERT_EQ(turned->tracks(MediaType::Video).size(), 1u);
  EXPECT_EQ(plain->tracks(MediaType::Video)[0].preferredTransform, kIdentityMatrix);
  EXPECT_NE(turned->tracks(MediaType::Video)[0].preferredTransform, kIdentityMatrix);
  EXPECT_EQ(compare(plain->duration(), MediaTime::make(3, 30)), 0) << plain->duration().seconds();
}

TEST(MovieAsset, UnreadableFilesFailToOpenSayingWhy) {
  TempDir dir;
  auto missing = MovieAsset::open(dir.file("nothing-here.mov"));
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.message(), "");
  {
    FILE* f = std::fopen(dir.file("junk.mov").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("this is not a movie at all, just some text", f);
    std::fclose(f);
  }
  auto junk = MovieAsset::open(dir.file("junk.mov"));
  ASSERT_FALSE(junk);
  EXPECT_NE(junk.message(), "");
}

}  // namespace
}  // namespace talvex::media
