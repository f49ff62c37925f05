// `talvex-overlay` on movies and frames files made for each case: what is drawn where, the
// sound, the contact sheet, and one clear error line for bad input.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/media/read/movie_asset.h"
#include "platform/media/read/video_frame_reader.h"
#include "platform/media/testing/media_fixtures.h"
#include "tests/child_process.h"

namespace talvex {
namespace {

using media::fixtures::TempDir;
using testing::RunResult;

RunResult overlay(const std::string& movie, const std::string& frames, const std::string& out) {
  return testing::run({testing::buildPath("talvex-overlay"), movie, frames, out});
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// One second of black at 320x240 and 30 fps with a tone, as H.264 + AAC in an MP4.
std::string blackMovieWithSound(const TempDir& dir) {
  const std::string path = dir.file("black.mp4");
  EXPECT_TRUE(media::fixtures::ffmpeg({"-f", "lavfi", "-i", "color=black:s=320x240:r=30:d=1", "-f",
                                       "lavfi", "-i", "sine=f=440:d=1", "-c:v", "libx264",
                                       "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", path}));
  return path;
}

const std::string kHeader = "{\"start_epoch\":0}\n";
// From t 0.5 on: a face box over the middle quarter of the picture (x 80..240, y 60..180).
const std::string kFaceAtHalf =
    kHeader +
    "{\"t\":0.5,\"faces\":1,\"box\":[0.25,0.25,0.5,0.5],\"yaw\":0,\"roll\":0,\"hands\":[]}\n";

struct DecodedFrame {
  double t = 0;
  PixelBuffer image;
};

std::vector<DecodedFrame> decode(const std::string& path) {
  std::vector<DecodedFrame> frames;
  auto asset = media::MovieAsset::open(path);
  auto tracks = asset->tracks(media::MediaType::Video);
  if (tracks.empty()) return frames;
  auto reader = media::VideoFrameReader::create(*asset, tracks.front());
  if (!reader || !(*reader)->start()) return frames;
  media::MediaTime t0;
  while (auto pts = (*reader)->nextFrame()) {
    if (frames.empty()) t0 = *pts;
    auto image = (*reader)->image();
    if (image) frames.push_back({media::subtract(*pts, t0).seconds(), image.value()});
  }
  return frames;
}

int luma(const PixelBuffer& b, int x, int y) {
  return b.plane(0).base[y * b.plane(0).bytesPerRow + x];
}

TEST(OverlayMovie, RecordsAreDrawnFromTheirFrameOnAndTheSoundIsKept) {
  TempDir dir;
  const std::string movie = blackMovieWithSound(dir);
  writeFile(dir.file("f.jsonl"), kFaceAtHalf);
  const auto r = overlay(movie, dir.file("f.jsonl"), dir.file("out.mp4"));
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "drew 1 records on 30 frames\n");
  EXPECT_EQ(r.err, "");

  const auto frames = decode(dir.file("out.mp4"));
  ASSERT_EQ(frames.size(), 30u);
  for (const auto& f : frames) {
    const bool drawn = f.t > 0.5 - 0.0005;
    // The box's left and top edges are bright from t 0.5 on; its inside stays black.
    EXPECT_EQ(luma(f.image, 80, 150) > 100, drawn) << f.t;
    EXPECT_EQ(luma(f.image, 200, 60) > 100, drawn) << f.t;
    EXPECT_LT(luma(f.image, 100, 170), 40) << f.t;
    EXPECT_LT(luma(f.image, 300, 220), 40) << f.t;  // outside the box
  }
  auto asset = media::MovieAsset::open(dir.file("out.mp4"));
  EXPECT_EQ(asset->tracks(media::MediaType::Audio).size(), 1u);
  EXPECT_NEAR(asset->tracks(media::MediaType::Audio).front().duration.seconds(), 1.0, 0.05);
  // Nothing but the output is left in the directory.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 3u);
}

TEST(OverlayMovie, SoundAnMp4CannotHoldIsReencoded) {
  // 16-bit PCM, as `mux` stores sound, has no place in an MP4.
  TempDir dir;
  ASSERT_TRUE(
      media::fixtures::ffmpeg({"-f", "lavfi", "-i", "color=black:s=320x240:r=30:d=1", "-f", "lavfi",
                               "-i", "sine=f=440:d=1", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                               "-c:a", "pcm_s16le", "-shortest", dir.file("pcm.mov")}));
  writeFile(dir.file("f.jsonl"), kFaceAtHalf);
  const auto r = overlay(dir.file("pcm.mov"), dir.file("f.jsonl"), dir.file("out.mp4"));
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  auto asset = media::MovieAsset::open(dir.file("out.mp4"));
  ASSERT_EQ(asset->tracks(media::MediaType::Audio).size(), 1u);
  const auto& sound = asset->tracks(media::MediaType::Audio).front();
  EXPECT_EQ(sound.sampleRate, 44100);  // the rate is kept
  EXPECT_NEAR(sound.duration.seconds(), 1.0, 0.05)
      << sound.duration.value << "/" << sound.duration.timescale;
}

TEST(OverlayMovie, AMovieWithoutSoundStaysSilentAndAQuickTimeNameGivesQuickTime) {
  TempDir dir;
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("m.mov"), 12, 30, 160, 120));
  writeFile(dir.file("f.jsonl"), kHeader + "{\"t\":0.1,\"faces\":0,\"hands\":[[0.5,0.5,0.9]]}\n");
  const auto r = overlay(dir.file("m.mov"), dir.file("f.jsonl"), dir.file("out.mov"));
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "drew 1 records on 12 frames\n");
  auto asset = media::MovieAsset::open(dir.file("out.mov"));
  EXPECT_EQ(asset->tracks(media::MediaType::Video).size(), 1u);
  EXPECT_TRUE(asset->tracks(media::MediaType::Audio).empty());
  EXPECT_EQ(decode(dir.file("out.mov")).size(), 12u);
}

TEST(OverlaySheet, WritesAContactSheetPng) {
  TempDir dir;
  const std::string movie = blackMovieWithSound(dir);
  std::string text = kHeader;
  for (int i = 1; i <= 10; ++i)
    text += "{\"t\":" + std::to_string(i * 0.1 - 0.0001).substr(0, 5) +
            ",\"faces\":1,\"box\":[0.25,0.25,0.5,0.5],\"yaw\":" + std::to_string(i) +
            ",\"roll\":0,\"pitch\":1,\"gaze\":[0.1,0],\"mouth\":[1,0.2],\"hands\":[]}\n";
  writeFile(dir.file("f.jsonl"), text);
  const auto r = overlay(movie, dir.file("f.jsonl"), dir.file("sheet.PNG"));
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  // The record at t 1.0 lies past the last frame (0.967): its cell stays empty.
  EXPECT_EQ(r.out, "sheet of 9 frames and 10 records\n");
  std::ifstream png(dir.file("sheet.PNG"), std::ios::binary);
  std::string head(24, '\0');
  png.read(head.data(), 24);
  EXPECT_EQ(head.substr(0, 8), "\x89PNG\r\n\x1a\n");
  const auto be32 = [&](size_t at) {
    return (uint32_t(uint8_t(head[at])) << 24) | (uint32_t(uint8_t(head[at + 1])) << 16) |
           (uint32_t(uint8_t(head[at + 2])) << 8) | uint32_t(uint8_t(head[at + 3]));
  };
  EXPECT_EQ(be32(16), 1600u);
  EXPECT_GT(be32(20), 1000u);  // thumbnails above four charts
}

TEST(OverlayErrors, OneLineExitOneAndNoOutput) {
  TempDir dir;
  const std::string movie = blackMovieWithSound(dir);
  ASSERT_TRUE(media::fixtures::makeWav(dir.file("sound.wav"), 1));
  writeFile(dir.file("good.jsonl"), kFaceAtHalf);
  writeFile(dir.file("notjson.jsonl"), kHeader + "{\"t\":0.1,\"faces\":0}\n{oops\n");
  writeFile(dir.file("order.jsonl"),
            kHeader + "{\"t\":0.5,\"faces\":0}\n{\"t\":0.4,\"faces\":0}\n");
  writeFile(dir.file("empty.jsonl"), "");
  writeFile(dir.file("nofaces.jsonl"), kHeader + "{\"t\":0.1}\n");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{movie, dir.file("good.jsonl")},
       "ERR:usage: talvex-overlay <movie> <frames.jsonl> <out.mp4|out.png>\n"},
      {{dir.file("none.mp4"), dir.file("good.jsonl"), dir.file("out.mp4")},
       "ERR:no video track in " + dir.file("none.mp4") + "\n"},
      {{dir.file("sound.wav"), dir.file("good.jsonl"), dir.file("out.png")},
       "ERR:no video track in " + dir.file("sound.wav") + "\n"},
      {{movie, dir.file("none.jsonl"), dir.file("out.mp4")},
       "ERR:cannot read " + dir.file("none.jsonl") + "\n"},
      {{movie, dir.file("empty.jsonl"), dir.file("out.png")},
       "ERR:" + dir.file("empty.jsonl") + ": no header line\n"},
      {{movie, dir.file("notjson.jsonl"), dir.file("out.mp4")},
       "ERR:" + dir.file("notjson.jsonl") + " line 3: not JSON\n"},
      {{movie, dir.file("order.jsonl"), dir.file("out.mp4")},
       "ERR:" + dir.file("order.jsonl") + " line 3: records out of order (t 0.4 after 0.5)\n"},
      {{movie, dir.file("nofaces.jsonl"), dir.file("out.png")},
       "ERR:" + dir.file("nofaces.jsonl") + " line 2: record without \"faces\"\n"},
      {{movie, dir.file("good.jsonl"), dir.file("out.xyz")},
       "ERR:cannot write " + dir.file("out.xyz") + ": no movie format for the name " +
           dir.file("out.xyz") + "\n"},
      {{movie, dir.file("good.jsonl"), dir.file("missing/out.mp4")},
       "ERR:cannot write " + dir.file("missing/out.mp4") + ": No such file or directory\n"},
      {{movie, dir.file("good.jsonl"), dir.file("missing/out.png")},
       "ERR:cannot write " + dir.file("missing/out.png") + ": No such file or directory\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{testing::buildPath("talvex-overlay")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto r = testing::run(argv);
    EXPECT_EQ(r.exitStatus, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
    EXPECT_EQ(e.path().string().find("out."), std::string::npos) << e.path();
}

}  // namespace
}  // namespace talvex
