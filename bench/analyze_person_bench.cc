// `analyze` on person clips (not a test pattern): wall time and CPU per analysed frame of the
// whole command on 10 s and 60 s of 1280x720 at 30 fps, and where the CPU goes per analysed
// frame inside the detectors (the decoded picture's way to RGB and the letterboxes, each branch,
// following between detections, several detection cadences against detecting on every frame)
// on the 60 s clip's second half and on a person far away. The machine's load is printed: the
// machine is shared, read ratios.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_clip.h"
#include "platform/media/read/movie_asset.h"
#include "platform/media/read/video_frame_reader.h"
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

// CPU time of the calling thread alone: the decoder's own threads do not count.
double threadCpu() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
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

// What one run of all four requests over the clip gave, frame by frame.
struct Seen {
  std::vector<std::vector<talvex::vision::FaceObservation>> faces;
  std::vector<size_t> hands;
  std::vector<std::optional<talvex::vision::RecognizedPoint>> leftShoulder;
};

// How far a following run strays from detecting on every frame.
void compare(const Seen& every, const Seen& s) {
  size_t sameCount = 0, boxes = 0, angles = 0, handsEvery = 0, handsHere = 0, bodiesEvery = 0,
         bodiesHere = 0, shoulderPairs = 0;
  double box = 0, boxMax = 0, yaw = 0, roll = 0, pitch = 0, shoulder = 0;
  for (size_t i = 0; i < every.faces.size(); ++i) {
    const auto& a = every.faces[i];
    const auto& b = s.faces[i];
    if (a.size() == b.size()) ++sameCount;
    for (size_t k = 0; k < std::min(a.size(), b.size()); ++k) {
      const auto& p = a[k].boundingBox;
      const auto& q = b[k].boundingBox;
      const double d = std::max({std::abs(p.x - q.x), std::abs(p.y - q.y),
                                 std::abs(p.width - q.width), std::abs(p.height - q.height)});
      box += d;
      boxMax = std::max(boxMax, d);
      ++boxes;
      if (a[k].yaw && b[k].yaw && a[k].roll && b[k].roll && a[k].pitch && b[k].pitch) {
        yaw += std::abs(*a[k].yaw - *b[k].yaw);
        roll += std::abs(*a[k].roll - *b[k].roll);
        pitch += std::abs(*a[k].pitch - *b[k].pitch);
        ++angles;
      }
    }
    handsEvery += every.hands[i] > 0;
    handsHere += s.hands[i] > 0;
    bodiesEvery += every.leftShoulder[i].has_value();
    bodiesHere += s.leftShoulder[i].has_value();
    if (every.leftShoulder[i] && s.leftShoulder[i]) {
      shoulder += std::hypot(every.leftShoulder[i]->location.x - s.leftShoulder[i]->location.x,
                             every.leftShoulder[i]->location.y - s.leftShoulder[i]->location.y);
      ++shoulderPairs;
    }
  }
  const auto mean = [](double sum, size_t n) { return n ? sum / double(n) : 0.0; };
  const double degrees = 180 / M_PI;  // the angles are in radians
  std::printf(
      "    vs every frame: faces count same in %zu/%zu, box %.4f (max %.4f), yaw %.2f roll %.2f "
      "pitch %.2f deg; frames with a hand %zu vs %zu; with shoulders %zu vs %zu, left shoulder "
      "%.4f\n",
      sameCount, every.faces.size(), mean(box, boxes), boxMax, degrees * mean(yaw, angles),
      degrees * mean(roll, angles), degrees * mean(pitch, angles), handsHere, handsEvery,
      bodiesHere, bodiesEvery, mean(shoulder, shoulderPairs));
}

// The analysed frames (every third) of the clip from frame `first` on, as analyze hands them to
// the detectors, after timing the two ways from the decoded picture to RGB on them.
std::vector<talvex::PixelBuffer> picturesTimed(const std::string& clip, int first) {
  using namespace talvex;
  std::vector<PixelBuffer> pictures;
  auto asset = media::MovieAsset::open(clip);
  if (!asset) return pictures;
  auto tracks = (*asset)->tracks(media::MediaType::Video);
  if (tracks.empty()) return pictures;
  auto reader = media::VideoFrameReader::create(**asset, tracks.front());
  if (!reader || !(*reader)->start()) return pictures;
  double viaNv12 = 0, direct = 0, reduce = 0, fullBoxes = 0, reducedBoxes = 0;
  vision::RgbImage rgb;
  std::vector<float> tensor(224 * 224 * 3);
  auto letterboxes = [&](const vision::RgbImage& img) {
    const double c0 = threadCpu();
    for (int size : {192, 192, 224}) vision::letterboxToTensor(img, size, -1.f, 1.f, tensor.data());
    return threadCpu() - c0;
  };
  for (int n = 1; (*reader)->nextFrame(); ++n) {
    if (n % 3 != 0 || n <= first) continue;
    double c0 = threadCpu();
    auto nv12 = (*reader)->image();
    if (nv12) (void)vision::convertToRgb(nv12.value(), rgb);
    viaNv12 += threadCpu() - c0;
    fullBoxes += letterboxes(rgb);
    c0 = threadCpu();
    auto picture = (*reader)->picture();
    if (picture) (void)vision::convertToRgb(picture.value(), rgb);
    direct += threadCpu() - c0;
    c0 = threadCpu();
    vision::addLetterboxSource(rgb, 224);
    (void)vision::reducedCopy(rgb);
    reduce += threadCpu() - c0;
    reducedBoxes += letterboxes(rgb);
    if (picture) pictures.push_back(picture.value());
  }
  const double k = pictures.empty() ? 0 : 1000.0 / pictures.size();
  std::printf("decoded picture to the detectors' input, ms CPU per analysed frame:\n");
  std::printf("  %-42s %6.2f\n", "to NV12 (swscale), then RGB", viaNv12 * k);
  std::printf("  %-42s %6.2f\n", "straight to RGB (libyuv)", direct * k);
  std::printf("  %-42s %6.2f\n", "three letterboxes from the whole frame", fullBoxes * k);
  std::printf("  %-42s %6.2f + %.2f\n", "reduced copy + three letterboxes from it", reduce * k,
              reducedBoxes * k);
  return pictures;
}

// CPU per analysed frame of each branch alone over a clip's analysed frames, and of all four
// requests at several detection cadences with how far each strays from detecting on every frame.
void stages(const std::vector<talvex::PixelBuffer>& frames) {
  using namespace talvex;
  vision::DetectFaceLandmarksRequest faceReq;
  vision::DetectFaceRectanglesRequest poseReq;
  vision::DetectHumanHandPoseRequest handReq;
  vision::DetectHumanBodyPoseRequest bodyReq;
  const std::vector<std::pair<const char*, std::vector<vision::Request*>>> branches{
      {"faces (detection, tiles, meshes, angles)", {&poseReq, &faceReq}},
      {"hands (palms, landmarks)", {&handReq}},
      {"body (person, landmarks)", {&bodyReq}}};
  const std::vector<vision::Request*> all{&poseReq, &faceReq, &handReq, &bodyReq};
  struct Cadence {
    vision::TrackingOptions options;
    bool byBranch;
  };
  const std::vector<Cadence> cadences{{{1}, true}, {{3}, false}, {{5}, true}, {{10}, false}};
  Seen everyFrame;
  for (const Cadence& c : cadences) {
    auto models = vision::MediaPipeDetector::loadModels();
    if (!models) {
      std::printf("stages: %s\n", models.message().c_str());
      return;
    }
    vision::MediaPipeDetector d(std::move(models.value()), c.options);
    std::printf("detectors every %d analysed frame(s):\n", c.options.detectEvery);
    if (c.byBranch) {
      for (const auto& [name, reqs] : branches) {
        d.startSequence();
        const double c0 = processCpu();
        for (const auto& f : frames) (void)d.perform(f, reqs);
        std::printf("  %-42s %6.2f ms CPU per frame (load %s)\n", name,
                    1000 * (processCpu() - c0) / frames.size(), load().c_str());
      }
    }
    d.startSequence();
    Seen seen;
    const double c0 = processCpu();
    for (const auto& f : frames) {
      (void)d.perform(f, all);
      seen.faces.push_back(faceReq.results.value_or(std::vector<vision::FaceObservation>{}));
      seen.hands.push_back(handReq.results ? handReq.results->size() : 0);
      std::optional<vision::RecognizedPoint> shoulder;
      if (bodyReq.results && !bodyReq.results->empty())
        shoulder = bodyReq.results->front().recognizedPoint(vision::BodyJoint::LeftShoulder);
      seen.leftShoulder.push_back(shoulder);
    }
    std::printf("  %-42s %6.2f ms CPU per frame (load %s)\n", "all four requests (two threads)",
                1000 * (processCpu() - c0) / frames.size(), load().c_str());
    if (c.options.detectEvery == 1)
      everyFrame = std::move(seen);
    else
      compare(everyFrame, seen);
  }
}

// The 60 s clip's last 30 s (the woman, who raises a hand in about a quarter of the analysed
// frames), as analyze hands its pictures to the detectors.
void stages(const std::string& clip) {
  const std::vector<talvex::PixelBuffer> frames = picturesTimed(clip, 900);
  if (frames.size() != 300) {
    std::printf("stages: clip frames missing\n");
    return;
  }
  std::printf("person at a desk, 1280x720 (face ~300 px wide):\n");
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
  stages(clip60);
  farStages();
  return 0;
}
