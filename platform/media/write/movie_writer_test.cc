#include "platform/media/write/movie_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "platform/media/testing/movie_test_util.h"
#include "platform/process/dispatch.h"
#include "tests/small_disk.h"

namespace talvex::media {
namespace {

namespace fs = std::filesystem;

struct TempDir {
  fs::path path;
  TempDir() {
    char tmpl[] = "/tmp/movie_writer_test.XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path); }
};

PixelBuffer grey(int shade) {
  PixelBuffer b = PixelBuffer::allocateNV12(1280, 720);
  for (int p = 0; p < 2; ++p) {
    const PlaneView& v = b.plane(p);
    std::memset(v.base, p == 0 ? shade : 128, static_cast<size_t>(v.bytesPerRow * v.height));
  }
  return b;
}

std::unique_ptr<MovieWriter> openWriting(const std::string& path) {
  auto w = MovieWriter::open(path);
  if (!w) return nullptr;
  if (!w.value()->addVideoInput(VideoSettings{})) return nullptr;
  if (!w.value()->startWriting()) return nullptr;
  return std::move(w.value());
}

// Appends frames, waiting for room rather than dropping, so the count is exact.
void appendAll(MovieWriter& w, int count, MediaTime first, int64_t stepMicros) {
  for (int i = 0; i < count; ++i) {
    while (!w.isReadyForMoreMediaData()) ::usleep(1000);
    MediaTime pts = MediaTime::make(first.value + i * stepMicros, 1000000);
    ASSERT_TRUE(w.append(grey(16 + (i * 7) % 200), pts));
  }
}

void finish(MovieWriter& w) {
  Semaphore done{0};
  int calls = 0;
  w.markAsFinished();
  w.finishWriting([&] {
    ++calls;
    done.release();
  });
  done.acquire();
  EXPECT_EQ(calls, 1);
}

TEST(MovieWriter, WritesH264FullRangeStartingAtZeroWithRightDurations) {
  TempDir dir;
  const std::string path = (dir.path / "m.mov").string();
  auto w = openWriting(path);
  ASSERT_TRUE(w);
  // Camera times are far from zero; the first appended frame becomes movie time 0.
  const MediaTime first = MediaTime::make(5'000'000'123, 1000000);
  w->startSession(first);
  appendAll(*w, 75, first, 33333);
  finish(*w);
  EXPECT_FALSE(w->append(grey(0), MediaTime::make(first.value + 76 * 33333, 1000000)));

  testing::MovieFacts f = testing::readMovie(path);
  ASSERT_TRUE(f.opened);
  EXPECT_EQ(f.streams, 1);
  EXPECT_EQ(f.codec, "h264");
  EXPECT_EQ(f.width, 1280);
  EXPECT_EQ(f.height, 720);
  EXPECT_EQ(f.colorRange, AVCOL_RANGE_JPEG);
  ASSERT_EQ(f.packetTimes.size(), 75u);
  EXPECT_DOUBLE_EQ(f.packetTimes.front(), 0.0);
  EXPECT_NEAR(f.packetTimes.back(), 74 * 0.033333, 1e-3);
  // The last frame lasts as long as the others: 75 frames make 2.5 s.
  EXPECT_NEAR(f.duration, 2.5, 0.002);
}

TEST(MovieWriter, HandOffRefusesFramesWhenFullAndBeforeTheSession) {
  TempDir dir;
  auto w = MovieWriter::open((dir.path / "m.mov").string());
  ASSERT_TRUE(w);
  VideoSettings s;
  s.handOffFrames = 2;
  ASSERT_TRUE(w.value()->addVideoInput(s));
  EXPECT_FALSE(w.value()->isReadyForMoreMediaData());  // not writing yet
  ASSERT_TRUE(w.value()->startWriting());
  MovieWriter& m = *w.value();
  // No session opened: nothing to measure times from.
  EXPECT_FALSE(m.append(grey(0), MediaTime::make(0, 1000000)));
  m.startSession(MediaTime::make(0, 1000000));
  int accepted = 0, refused = 0;
  for (int i = 0; i < 20; ++i) {
    // Readiness may come back between the test and the append; the append's answer counts.
    if (m.append(grey(i), MediaTime::make(i * 33333, 1000000)))
      ++accepted;
    else
      ++refused;
  }
  // Twenty frames in a burst cannot all fit into a hand-off of two.
  EXPECT_GT(refused, 0);
  EXPECT_GE(accepted, 2);
  finish(m);
  EXPECT_EQ(testing::readMovie((dir.path / "m.mov").string()).packetTimes.size(),
            static_cast<size_t>(accepted));
}

TEST(MovieWriter, CancelRemovesTheFile) {
  TempDir dir;
  const std::string path = (dir.path / "c.mov").string();
  auto w = openWriting(path);
  ASSERT_TRUE(w);
  ASSERT_TRUE(fs::exists(path));
  w->markAsFinished();
  w->cancelWriting();
  EXPECT_FALSE(fs::exists(path));
}

TEST(MovieWriter, OpenInAMissingDirectoryGivesTheSystemReason) {
  auto w = MovieWriter::open("/nonexistent-dir/m.mov");
  ASSERT_FALSE(w);
  EXPECT_EQ(w.message(), "No such file or directory");
}

TEST(MovieWriter, CompletedFragmentsAreReadableBeforeTheFinish) {
  TempDir dir;
  const std::string path = (dir.path / "f.mov").string();
  auto w = openWriting(path);
  ASSERT_TRUE(w);
  w->startSession(MediaTime::make(0, 1000000));
  // 5 s of frames: at least two fragments complete while the writer is still open.
  appendAll(*w, 150, MediaTime::make(0, 1000000), 33333);
  while (!w->isReadyForMoreMediaData()) ::usleep(1000);
  // Wait until the encoder has taken everything handed off.
  for (int i = 0; i < 2000; ++i) {
    testing::MovieFacts f = testing::readMovie(path);
    if (f.packetTimes.size() >= 60) break;
    ::usleep(5000);
  }
  testing::MovieFacts partial = testing::readMovie(path);
  ASSERT_TRUE(partial.opened);
  EXPECT_GE(partial.packetTimes.size(), 60u);
  EXPECT_LT(partial.packetTimes.size(), 150u);
  EXPECT_DOUBLE_EQ(partial.packetTimes.front(), 0.0);
  finish(*w);
  EXPECT_EQ(testing::readMovie(path).packetTimes.size(), 150u);
}

// Frames of noise: nothing for the encoder to save, so every frame costs its share of the rate.
PixelBuffer noise(int width, int height, std::mt19937& rng) {
  PixelBuffer b = PixelBuffer::allocateNV12(width, height);
  for (int p = 0; p < 2; ++p) {
    const PlaneView& v = b.plane(p);
    for (int y = 0; y < v.height; ++y)
      for (int x = 0; x < v.bytesPerRow; ++x) v.base[y * v.bytesPerRow + x] = rng() & 0xff;
  }
  return b;
}

TEST(MovieWriter, DiskFillingUpKeepsTheCompleteFragmentsAndSaysWhy) {
  talvex::testing::SmallDisk disk(1 << 20);
  ASSERT_TRUE(disk.mounted()) << disk.error();
  const std::string path = disk.file("m.mov");
  auto created = MovieWriter::open(path);
  ASSERT_TRUE(created);
  MovieWriter& w = *created.value();
  VideoSettings s;
  s.width = 320;
  s.height = 240;
  ASSERT_TRUE(w.addVideoInput(s));
  ASSERT_TRUE(w.startWriting());
  w.startSession(MediaTime::make(0, 1000000));
  std::mt19937 rng(1);
  // 10 s at 2.5 Mbit/s is three times what the disk holds.
  for (int i = 0; i < 300; ++i) {
    while (!w.isReadyForMoreMediaData() && !w.error()) ::usleep(1000);
    if (w.error()) break;
    // The encoder may fail between the test and the append: then the append is refused.
    if (!w.append(noise(320, 240, rng), MediaTime::make(i * 33333, 1000000))) {
      ASSERT_TRUE(w.error()) << "frame " << i << " refused while the writer was healthy";
      break;
    }
  }
  finish(w);
  ASSERT_TRUE(w.error());
  EXPECT_EQ(*w.error(), "No space left on device");
  EXPECT_FALSE(w.append(noise(320, 240, rng), MediaTime::make(301 * 33333, 1000000)));
  // What the writer counts is what the file holds: whole fragments, readable to the end.
  const int64_t kept = w.framesInFile();
  EXPECT_GT(kept, 0) << "the first fragment fits";
  EXPECT_LT(kept, 300);
  testing::MovieFacts f = testing::readMovie(path);
  ASSERT_TRUE(f.opened);
  EXPECT_EQ(f.packetTimes.size(), static_cast<size_t>(kept));
}

TEST(MovieWriter, WriterThatNeverStartsLeavesNoFile) {
  talvex::testing::SmallDisk disk(64 << 10);
  ASSERT_TRUE(disk.mounted()) << disk.error();
  disk.fill();
  const std::string path = disk.file("m.mov");
  {
    auto w = MovieWriter::open(path);
    ASSERT_TRUE(w);
    ASSERT_TRUE(w.value()->addVideoInput(VideoSettings{}));
    Status s = w.value()->startWriting();
    ASSERT_FALSE(s);
    EXPECT_EQ(s.message(), "No space left on device");
  }
  EXPECT_FALSE(fs::exists(path));
  {
    auto w = MovieWriter::open(path);
    ASSERT_TRUE(w);
  }
  EXPECT_FALSE(fs::exists(path)) << "opened, never started";
}

}  // namespace
}  // namespace talvex::media
