// Speed and memory of the movie commands on camera-sized input: decoding for analyze, the whole
// analyze command, and mux of a one-minute recording, whose peak memory must not grow with it.
// A timing program rather than Google Benchmark: the commands run as child processes, once each.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/media/read/movie_asset.h"
#include "platform/media/read/video_frame_reader.h"
#include "platform/media/testing/media_fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fixtures = talvex::media::fixtures;

struct Run {
  double seconds = 0;
  long peakKiB = 0;
  int status = -1;
};

Run runChild(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Run r;
  std::fflush(stdout);  // or the child's copy of the buffer prints it again
  const auto start = Clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage use{};
  ::wait4(pid, &status, 0, &use);
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.peakKiB = use.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Fixtures are kept between runs: encoding a minute of 720p costs more than the benchmarks.
bool ensure(const std::string& path, const std::vector<std::string>& ffmpegArgs) {
  if (std::filesystem::exists(path)) return true;
  std::vector<std::string> args = ffmpegArgs;
  args.push_back(path + ".tmp.mov");
  if (!fixtures::ffmpeg(args)) return false;
  std::filesystem::rename(path + ".tmp.mov", path);
  return true;
}

void decodeOnly(const std::string& clip, bool convertEveryThird) {
  auto asset = talvex::media::MovieAsset::open(clip);
  auto reader = talvex::media::VideoFrameReader::create(
      *asset, asset->tracks(talvex::media::MediaType::Video)[0]);
  if (!reader || !(*reader)->start()) {
    std::printf("decode: cannot read %s\n", clip.c_str());
    return;
  }
  const auto start = Clock::now();
  int n = 0;
  while ((*reader)->nextFrame())
    if (++n % 3 == 0 && convertEveryThird) (void)(*reader)->image();
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("decode%s: %d frames in %.3f s = %.0f frames/s (%.1fx real time)\n",
              convertEveryThird ? " + NV12 of every third" : " only", n, s, n / s, (n / 30.0) / s);
}

}  // namespace

int main() {
  const std::string build = TALVEX_BUILD_DIR;
  const std::string data = build + "/bench-data";
  std::filesystem::create_directories(data);
  const std::string lumipose = build + "/talvex-lumipose";
  const std::string clip60 = data + "/rec60.mov", clip10 = data + "/rec10.mov";
  const std::string wav60 = data + "/sys60.wav", wav10 = data + "/sys10.wav";
  // Like the live recorder's movies: 1280x720, 30 fps, H.264 at 2.5 Mbit/s, fragmented.
  const std::vector<std::string> encode = {
      "-c:v", "libx264", "-preset",  "ultrafast", "-b:v",      "2500k",
      "-g",   "30",      "-pix_fmt", "yuv420p",   "-movflags", "+frag_keyframe+empty_moov"};
  // The analysed clip uses B-frames and CABAC, which cost the decoder more than the fastest
  // settings do; mux only copies, so the minute-long one is made the quick way.
  auto clipArgs = [&](int seconds) {
    std::vector<std::string> a = {"-f", "lavfi", "-i",
                                  "testsrc2=s=1280x720:r=30:d=" + std::to_string(seconds)};
    a.insert(a.end(), encode.begin(), encode.end());
    if (seconds <= 10) a.insert(a.end(), {"-preset:v", "veryfast"});
    return a;
  };
  auto wavArgs = [](int seconds) {
    return std::vector<std::string>{
        "-f",        "lavfi", "-i", "sine=r=48000:d=" + std::to_string(seconds), "-ac", "2", "-c:a",
        "pcm_s16le", "-f",    "wav"};
  };
  if (!ensure(clip10, clipArgs(10)) || !ensure(clip60, clipArgs(60)) ||
      !ensure(wav10, wavArgs(10)) || !ensure(wav60, wavArgs(60))) {
    std::printf("cannot make the benchmark movies with ffmpeg\n");
    return 1;
  }

  std::printf("analyze, 10 s of 1280x720 at 30 fps (H.264):\n");
  decodeOnly(clip10, false);
  decodeOnly(clip10, true);
  Run a = runChild({lumipose, "analyze", clip10, data + "/rec10.jsonl"});
  std::printf("whole command: %.3f s (%.1fx real time), peak RSS %ld KiB, exit %d\n", a.seconds,
              10 / a.seconds, a.peakKiB, a.status);

  std::printf("mux, recording + WAV of the same length (stream copy + 16-bit PCM):\n");
  for (auto [clip, wav, len] : {std::tuple{clip10, wav10, 10}, std::tuple{clip60, wav60, 60}}) {
    Run m = runChild({lumipose, "mux", clip, wav, data + "/muxed.mov", "0.5"});
    std::printf("%2d s: %.3f s, peak RSS %ld KiB, exit %d\n", len, m.seconds, m.peakKiB, m.status);
  }
  return 0;
}
