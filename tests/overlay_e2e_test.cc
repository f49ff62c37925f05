// `talvex-overlay` on movies and frames files made for each case: what is drawn where, the
// sound, the contact sheet, and one clear error line for bad input.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/media/read/movie_asset.h"
#include "platform/media/testing/media_fixtures.h"
#include "tests/run_program.h"

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
  const auto video = media::fixtures::readVideo(path);
  std::vector<DecodedFrame> frames;
  for (size_t i = 0; i < video.times.size(); ++i)
    frames.push_back({media::subtract(video.times[i], video.times[0]).seconds(), video.images[i]});
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
  auto asset = media::fixtures::openAsset(dir.file("out.mp4"));
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
  auto asset = media::fixtures::openAsset(dir.file("out.mp4"));
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
  auto asset = media::fixtures::openAsset(dir.file("out.mov"));
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
  writeFile(dir.file("deep.jsonl"), kHeader + std::string(200000, '[') + "\n");
  writeFile(dir.file("long.jsonl"),
            kHeader + "{\"t\":0,\"faces\":0" + std::string(2 << 20, ' ') + "}\n");
  std::filesystem::create_directory(dir.file("folder.jsonl"));
  std::filesystem::create_hard_link(movie, dir.file("same.mp4"));
  const auto movieSize = std::filesystem::file_size(movie);
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
      {{movie, dir.file("good.jsonl"), movie}, "ERR:cannot write " + movie + ": it is the movie\n"},
      {{movie, dir.file("good.jsonl"), dir.file("same.mp4")},
       "ERR:cannot write " + dir.file("same.mp4") + ": it is the movie\n"},
      {{movie, dir.file("folder.jsonl"), dir.file("out.mp4")},
       "ERR:cannot read " + dir.file("folder.jsonl") + "\n"},
      {{movie, dir.file("deep.jsonl"), dir.file("out.png")},
       "ERR:" + dir.file("deep.jsonl") + " line 2: nested too deeply\n"},
      {{movie, dir.file("long.jsonl"), dir.file("out.png")},
       "ERR:" + dir.file("long.jsonl") + " line 2: line too long\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{testing::buildPath("talvex-overlay")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto r = testing::run(argv);
    EXPECT_EQ(r.exitStatus, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().string().find("out."), std::string::npos) << e.path();
    EXPECT_EQ(e.path().string().find(".part"), std::string::npos) << e.path();
  }
  EXPECT_EQ(std::filesystem::file_size(movie), movieSize);
  EXPECT_EQ(decode(movie).size(), 30u);
}

// Inputs that are odd but valid are drawn, within a bound on memory (4 GB of address space,
// where values that used to stall the charts' ticks took all there was).
TEST(OverlayInputs, OddSizesHugeValuesAndLongNamesAreDrawn) {
  TempDir dir;
  const std::string movie = blackMovieWithSound(dir);
  for (const char* size : {"33x17", "1x1"}) {
    ASSERT_TRUE(media::fixtures::ffmpeg({"-f", "lavfi", "-i",
                                         std::string("testsrc=size=") + size + ":rate=10:d=1",
                                         "-c:v", "ffv1", dir.file(std::string(size) + ".mkv")}));
  }
  writeFile(dir.file("good.jsonl"), kFaceAtHalf);
  writeFile(dir.file("huge.jsonl"),
            kHeader +
                "{\"t\":0.1,\"faces\":1,\"box\":[0.25,0.25,0.5,0.5],\"yaw\":1e17,\"hands\":[]}\n"
                "{\"t\":0.2,\"faces\":1,\"box\":[0.25,0.25,0.5,0.5],\"yaw\":1.0000000000000002e17,"
                "\"pitch\":-1.7e308,\"roll\":1.7e308,\"hands\":[]}\n");
  const std::string longName = dir.file(std::string(251, 'l') + ".png");
  struct Case {
    std::string movie, frames, out, result;
    int width = 0, height = 0;  // of the movie written
  } cases[] = {
      {dir.file("33x17.mkv"), dir.file("good.jsonl"), dir.file("odd.mp4"),
       "drew 1 records on 10 frames\n", 34, 18},
      {dir.file("1x1.mkv"), dir.file("good.jsonl"), dir.file("dot.mp4"),
       "drew 1 records on 10 frames\n", 2, 2},
      {dir.file("33x17.mkv"), dir.file("good.jsonl"), dir.file("odd.png"),
       "sheet of 1 frames and 1 records\n"},
      {movie, dir.file("huge.jsonl"), dir.file("huge.png"), "sheet of 2 frames and 2 records\n"},
      {movie, dir.file("huge.jsonl"), dir.file("huge.mp4"), "drew 2 records on 30 frames\n", 320,
       240},
      {movie, dir.file("good.jsonl"), longName, "sheet of 1 frames and 1 records\n"},
  };
  for (const Case& c : cases) {
    const auto r = testing::run({"/bin/sh", "-c", "ulimit -v 4000000 && exec \"$0\" \"$@\"",
                                 testing::buildPath("talvex-overlay"), c.movie, c.frames, c.out},
                                "", {}, std::chrono::seconds(60));
    EXPECT_EQ(r.exitStatus, 0) << c.out << ": " << r.err;
    EXPECT_EQ(r.out, c.result) << c.out;
    EXPECT_EQ(r.err, "") << c.out;
    EXPECT_TRUE(std::filesystem::exists(c.out)) << c.out;
    if (c.width > 0) {
      auto asset = media::fixtures::openAsset(c.out);
      ASSERT_TRUE(asset) << c.out;
      const auto tracks = asset->tracks(media::MediaType::Video);
      ASSERT_EQ(tracks.size(), 1u) << c.out;
      EXPECT_EQ(tracks.front().width, c.width) << c.out;
      EXPECT_EQ(tracks.front().height, c.height) << c.out;
      EXPECT_EQ(decode(c.out).size(), c.result.find("30 frames") != std::string::npos ? 30u : 10u);
    }
  }
}

// A stop signal during a drawing ends the process by that signal, as it always did, and takes
// the unfinished movie with it.
TEST(OverlayInputs, AStopSignalLeavesNoUnfinishedMovie) {
  TempDir dir;
  const std::string movie = dir.file("long.mp4");
  ASSERT_TRUE(
      media::fixtures::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30:d=40", "-c:v",
                               "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", movie}));
  writeFile(dir.file("good.jsonl"), kFaceAtHalf);
  auto partials = [&] {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      n += e.path().filename().string().find(".part") != std::string::npos;
    return n;
  };
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signo);
    testing::RunningProgram c(
        {testing::buildPath("talvex-overlay"), movie, dir.file("good.jsonl"), dir.file("o.mp4")});
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (partials() == 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(partials(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.signal(signo);
    const auto r = c.wait(std::chrono::seconds(30));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->termSignal, signo);
    EXPECT_EQ(r->err, "");
    EXPECT_EQ(partials(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("o.mp4")));
  }
}

}  // namespace
}  // namespace talvex
