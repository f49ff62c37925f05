// `analyze` on person clips (not a test pattern): wall time and CPU per analysed frame of the
// whole command on 10 s and 60 s of 1280x720 at 30 fps, and where the CPU goes per analysed
// frame inside the detectors (RGB conversion and each branch, following between detections)
// on the 10 s clip and on a person far away. The machine's load is printed: the machine is shared,
// read ratios.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_clip.h"
#include "platform/vision/mediapipe_detector.h"
#include "platform/vision/testing/images.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds(const rusage& u) {
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double processCpu() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return cpuSeconds(u);
}

std::string load() {
  std::ifstream in("/proc/loadavg");
  std::string l;
  in >> l;
  return l;
}

void analyzeRun(const std::string& clip, int seconds) {
  const std::string program = std::string(TALVEX_BUILD_DIR) + "/talvex-lumipose";
  const std::string out = clip + ".jsonl";
  std::fflush(stdout);
  const auto start = Clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execl(program.c_str(), program.c_str(), "analyze", clip.c_str(), out.c_str(), nullptr);
    ::_exit(127);
  }
  int status = 0;
  rusage use{};
  ::wait4(pid, &status, 0, &use);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const int frames = seconds * 10;
  std::printf(
      "analyze %2d s clip: %.2f s wall (%.1fx real time), %.1f ms CPU per analysed frame, "
      "exit %d, load %s\n",
      seconds, wall, seconds / wall, 1000 * cpuSeconds(use) / frames,
      WIFEXITED(status) ? WEXITSTATUS(status) : -1, load().c_str());
}

// CPU per analysed frame of each branch alone over a clip's analysed frames.
void stages(const std::vector<talvex::PixelBuffer>& frames) {
  using namespace talvex;
  struct Branch {
    const char* name;
    std::vector<vision::RequestKind> kinds;
  };
  vision::DetectFaceLandmarksRequest faceReq;
  vision::DetectFaceRectanglesRequest poseReq;
  vision::DetectHumanHandPoseRequest handReq;
  vision::DetectHumanBodyPoseRequest bodyReq;
  const std::vector<std::pair<const char*, std::vector<vision::Request*>>> branches{
      {"faces (detection, tiles, meshes, angles)", {&poseReq, &faceReq}},
      {"hands (palms, landmarks)", {&handReq}},
      {"body (person, landmarks)", {&bodyReq}},
      {"all four requests (two threads)", {&poseReq, &faceReq, &handReq, &bodyReq}}};
  for (int every : {1, 5}) {
    auto models = vision::MediaPipeDetector::loadModels();
    if (!models) {
      std::printf("stages: %s\n", models.message().c_str());
      return;
    }
    vision::MediaPipeDetector d(std::move(models.value()), {.detectEvery = every});
    std::printf("detectors every %d analysed frame(s):\n", every);
    {
      vision::RgbImage rgb;
      const double c0 = processCpu();
      for (const auto& f : frames) (void)vision::convertToRgb(f, rgb);
      std::printf("  %-42s %6.2f ms CPU per frame\n", "NV12 to RGB",
                  1000 * (processCpu() - c0) / frames.size());
    }
    for (const auto& [name, reqs] : branches) {
      d.startSequence();
      const double c0 = processCpu();
      for (const auto& f : frames) (void)d.perform(f, reqs);
      std::printf("  %-42s %6.2f ms CPU per frame (load %s)\n", name,
                  1000 * (processCpu() - c0) / frames.size(), load().c_str());
    }
  }
}

// Every third frame of the 10 s clip.
void stages(const std::string& clip) {
  std::vector<int> indices;
  for (int i = 2; i < 300; i += 3) indices.push_back(i);
  const std::vector<talvex::PixelBuffer> frames =
      talvex::vision::testing::loadMovieFrames(clip, indices);
  if (frames.size() != indices.size()) {
    std::printf("stages: clip frames missing\n");
    return;
  }
  std::printf("person at a desk, 1280x720 (face ~330 px wide):\n");
  stages(frames);
}

// A person far away: every third webcam frame while the man raises his hand, shrunk to a face
// ~52 px and a hand ~40 px wide in a 1280x720 frame, where the hand is looked for around the
// face.
void farStages() {
  using namespace talvex::vision::testing;
  std::vector<int> indices;
  for (int i = 1102; i <= 1291; i += 3) indices.push_back(i);
  std::vector<talvex::PixelBuffer> frames;
  for (const talvex::PixelBuffer& f : loadMovieFrames(webcamClipPath(), indices)) {
    talvex::vision::RgbImage rgb;
    if (f.planeCount() == 0 || !talvex::vision::convertToRgb(f, rgb)) {
      std::printf("far stages: clip frames missing\n");
      return;
    }
    frames.push_back(toNV12(onCanvas(rgb, 0.5, 1280, 720, 300, 420)));
  }
  std::printf("person far away, 1280x720 (face ~52 px, hand ~40 px wide):\n");
  stages(frames);
}

}  // namespace

int main() {
  const std::string clip10 = talvex::bench::personClip720p(10);
  const std::string clip60 = talvex::bench::personClip720p(60);
  if (clip10.empty() || clip60.empty()) {
    std::printf("person clips could not be made (run make setup)\n");
    return 1;
  }
  analyzeRun(clip10, 10);
  analyzeRun(clip10, 10);
  analyzeRun(clip60, 60);
  stages(clip10);
  farStages();
  return 0;
}
