// The live pipeline under a 30 fps camera showing a person, recording for a while (30 s by
// default; the first argument gives other seconds): how many camera frames reach the movie,
// how many of the frame records due (one per third camera frame) are written, how long the
// frame queue spends per frame, and how much CPU the process uses. With --busy-core another
// process keeps one core busy all the while, as a desktop's other work would.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "bench/bench_clip.h"
#include "lumipose/live/live.h"
#include "platform/media/camera/played_camera.h"
#include "platform/vision/load_detector.h"

using namespace talvex;
using lumipose::Live;
using lumipose::LiveHooks;
using namespace std::chrono;

namespace {

// Keeps a view of the camera it opens, for its counters.
class CountingSource : public media::CameraSource {
 public:
  explicit CountingSource(std::string input) : inner_(media::inputCameraSource(std::move(input))) {}
  media::CameraPermission permission() override { return inner_->permission(); }
  bool requestAccess() override { return inner_->requestAccess(); }
  Result<std::unique_ptr<media::Camera>> open() override {
    auto c = inner_->open();
    if (c) camera = c.value().get();
    return c;
  }
  media::Camera* camera = nullptr;

 private:
  std::unique_ptr<media::CameraSource> inner_;
};

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct MovieSpan {
  int frames = 0;
  double first = 0, last = 0;
};

MovieSpan readSpan(const std::string& path) {
  MovieSpan s;
  AVFormatContext* ctx = nullptr;
  if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return s;
  avformat_find_stream_info(ctx, nullptr);
  AVPacket* pkt = av_packet_alloc();
  const double tb = av_q2d(ctx->streams[0]->time_base);
  while (av_read_frame(ctx, pkt) >= 0) {
    const double t = double(pkt->pts) * tb;
    if (s.frames == 0) s.first = t;
    s.last = std::max(s.last, t);
    ++s.frames;
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&ctx);
  return s;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * double(v.size() - 1) + 0.5))];
}

// Another process spinning on a core until killed.
pid_t startBusyProcess() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    volatile unsigned long spin = 0;
    for (;;) spin = spin + 1;
  }
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 30;
  bool busyCore = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--busy-core")
      busyCore = true;
    else if (argv[i][0] != '-')
      seconds = std::atof(argv[i]);
  }
  const std::string clip = bench::personClip720p();
  if (clip.empty()) return 1;
  const std::string dir = "/tmp/live_bench";
  std::filesystem::create_directories(dir);

  std::mutex mu;
  std::vector<double> frameMs;
  std::atomic<bool> measuring{false};
  CountingSource source(clip);
  Live live(
      dir + "/preview.jpg", source, [] { return vision::loadDetector(); },
      LiveHooks{[](int) {},
                [&](nanoseconds d) {
                  if (!measuring) return;
                  std::lock_guard lock(mu);
                  frameMs.push_back(duration<double, std::milli>(d).count());
                }});
  const pid_t busy = busyCore ? startBusyProcess() : -1;
  live.start();
  std::this_thread::sleep_for(1s);
  const media::CameraStats before = source.camera->stats();
  measuring = true;
  const double cpu0 = cpuSeconds();
  const auto wall0 = steady_clock::now();
  live.rec(dir + "/m.mov", dir + "/m.jsonl");
  std::this_thread::sleep_for(duration<double>(seconds));
  Semaphore stopped{0};
  live.stop([&] { stopped.release(); });
  stopped.acquire();
  measuring = false;
  const double wall = duration<double>(steady_clock::now() - wall0).count();
  const double cpu = cpuSeconds() - cpu0;
  const media::CameraStats after = source.camera->stats();
  if (busy > 0) {
    ::kill(busy, SIGKILL);
    ::waitpid(busy, nullptr, 0);
  }

  const MovieSpan m = readSpan(dir + "/m.mov");
  // The played camera runs on an exact 1/30 s grid: the movie's span says how many frames
  // the camera made while it was recorded.
  const int spanned = static_cast<int>(std::lround((m.last - m.first) * 30)) + 1;
  std::printf("%s\n", busyCore ? "another process keeps one core busy" : "no other load added");
  std::printf("recording %.1f s, movie %d frames over %d camera frames: %.2f%% reached the movie\n",
              seconds, m.frames, spanned, 100.0 * m.frames / std::max(1, spanned));
  std::printf("camera during recording: %lld produced, %lld dropped at the busy frame queue\n",
              static_cast<long long>(after.produced - before.produced),
              static_cast<long long>(after.dropped - before.dropped));
  size_t records = 0;
  {
    std::ifstream in(dir + "/m.jsonl");
    for (std::string line; std::getline(in, line);) ++records;
  }
  // Every third frame the camera made while recording is due a record.
  const size_t written = records > 0 ? records - 1 : 0;
  const int due = (spanned + 2) / 3;
  std::printf("frames file: %zu records of %d due: %.2f%% written\n", written, due,
              100.0 * double(written) / std::max(1, due));
  std::printf("frame queue per frame: median %.2f ms, p99 %.2f ms, max %.2f ms (%zu frames)\n",
              percentile(frameMs, 0.5), percentile(frameMs, 0.99), percentile(frameMs, 1.0),
              frameMs.size());
  std::printf("CPU: %.0f%% of one core (%.1f s CPU in %.1f s, %u cores)\n", 100 * cpu / wall, cpu,
              wall, std::thread::hardware_concurrency());
  std::filesystem::remove_all(dir);
  std::fflush(stdout);
  std::_Exit(0);
}
