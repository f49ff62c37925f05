#include "platform/vision/mediapipe_detector.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <system_error>

#include "platform/vision/face/face_regions.h"
#include "platform/vision/hands_body/body_pipeline.h"
#include "platform/vision/hands_body/hand_pipeline.h"
#include "platform/vision/ops/model_check.h"
#include "platform/vision/ops/model_paths.h"

namespace talvex::vision {
namespace {

constexpr FaceRange kFaceRange = FaceRange::Full;
constexpr float kMinFacePresence = 0.5f;
constexpr int kMeshPoints = 468;  // the face proper; the irises lie inside it
// A followed face lying this much inside a larger one is that face followed twice.
constexpr double kSameFaceOverlap = 0.6;
// The largest whole-frame letterbox the detectors take (the pose detector's 224; faces and
// palms take 192). A reduced copy of the frame twice that size serves all three letterboxes;
// a detector whose letterbox outgrew it would scale from the whole frame again.
constexpr int kLargestLetterbox = 224;

// Indices 0..n-1, the largest `area` first; equal areas keep their order.
template <class Area>
std::vector<size_t> largestFirst(size_t n, Area area) {
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return area(a) > area(b); });
  return order;
}

// The area two face boxes share; 0 when they are apart.
double sharedArea(const Rect& a, const Rect& b) {
  const double iw = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
  const double ih = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  return iw > 0 && ih > 0 ? iw * ih : 0.0;
}

// A face box (normalised, origin at the lower left) in pixels of a w x h frame (origin at the
// top left).
PixelBox inPixels(const Rect& b, double w, double h) {
  return {b.x * w, (1 - b.y - b.height) * h, (b.x + b.width) * w, (1 - b.y) * h};
}

PixelBox meshBox(const std::vector<PixelPoint3>& mesh) {
  double minX = 1e30, maxX = -1e30, minY = 1e30, maxY = -1e30;
  for (int i = 0; i < kMeshPoints && i < static_cast<int>(mesh.size()); ++i) {
    minX = std::min(minX, mesh[i].x);
    maxX = std::max(maxX, mesh[i].x);
    minY = std::min(minY, mesh[i].y);
    maxY = std::max(maxY, mesh[i].y);
  }
  return {minX, minY, maxX, maxY};
}

// Runs `work` on its own thread when wanted (inline if no thread can be started: std::async
// reports that by throwing, and this is where it is turned into the fallback); the result is
// empty when not wanted. The caller waits on get() before touching what `work` uses.
template <class F>
auto runBeside(bool wanted, F work) -> std::future<decltype(work())> {
  using T = decltype(work());
  if (!wanted) {
    std::promise<T> none;
    none.set_value(T{});
    return none.get_future();
  }
  try {
    return std::async(std::launch::async, std::move(work));
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, std::move(work));
  }
}

}  // namespace

MediaPipeModels::MediaPipeModels() = default;
MediaPipeModels::MediaPipeModels(MediaPipeModels&&) noexcept = default;
MediaPipeModels& MediaPipeModels::operator=(MediaPipeModels&&) noexcept = default;
MediaPipeModels::~MediaPipeModels() = default;

MediaPipeDetector::MediaPipeDetector(MediaPipeModels models, TrackingOptions tracking)
    : models_(std::move(models)), tracking_(tracking) {
  tracking_.detectEvery = std::max(1, tracking_.detectEvery);
}
MediaPipeDetector::~MediaPipeDetector() = default;

Result<std::unique_ptr<MediaPipeDetector>> MediaPipeDetector::load() {
  auto models = loadModels();
  if (!models) return models.status();
  return std::make_unique<MediaPipeDetector>(std::move(models.value()));
}

Result<MediaPipeModels> MediaPipeDetector::loadModels() {
  // Loading is mostly packing weights for the CPU, model by model, sharing nothing: two
  // threads, one per core, each loading about half of the weights, take half the time.
  // (Start-up matters for short clips and for the first records of a live session.)
  MediaPipeModels m;
  Status beside = Status::ok();
  auto loadBeside = [&m]() -> Status {
    auto bodies = BodyPipeline::load();
    if (!bodies) return bodies.status();
    m.bodies = std::move(bodies.value());
    auto fd = FaceDetector::load(kFaceRange, kModelThreads);
    if (!fd) return fd.status();
    m.faceDetector = std::move(fd.value());
    return Status::ok();
  };
  auto other = runBeside(true, [&] {
    beside = loadBeside();
    return true;
  });
  auto loadHere = [&m]() -> Status {
    auto fl = FaceLandmarker::load(kModelThreads);
    if (!fl) return fl.status();
    m.faceLandmarker = std::move(fl.value());
    auto geometryPath = modelPath("geometry_pipeline_metadata_landmarks.binarypb");
    if (!geometryPath) return geometryPath.status();
    auto face = loadCanonicalFace(*geometryPath);
    if (!face) return face.status();
    m.canonicalFace = std::move(face.value());
    auto hands = HandPipeline::load();
    if (!hands) return hands.status();
    m.hands = std::move(hands.value());
    return Status::ok();
  };
  const Status here = loadHere();
  // Always waited for: the other thread fills `m`.
  other.get();
  if (!here) return here;
  if (!beside) return beside;
  return m;
}

FaceObservation MediaPipeDetector::faceFromMesh(const FaceMesh& mesh) const {
  const double w = rgb_.width, h = rgb_.height;
  FaceObservation obs;
  // With a mesh the box is the mesh's extent: steadier and tighter than the detector's box,
  // which is coarse for small faces.
  const PixelBox boxPixels = meshBox(mesh.points);
  obs.boundingBox = {boxPixels.xmin / w, 1.0 - (boxPixels.ymin + boxPixels.height()) / h,
                     boxPixels.width() / w, boxPixels.height() / h};
  obs.landmarks = faceRegions(mesh.points, boxPixels);
  if (auto angles = estimateHeadAngles(models_.canonicalFace, mesh.points)) {
    obs.yaw = angles->yaw;
    obs.roll = angles->roll;
    obs.pitch = angles->pitch;
  }
  return obs;
}

namespace {

// A face found in a tile, where a face cut by the tile's edge can look like a whole one: only
// faces clear of the edges that lie inside the frame count, and only those not found already.
bool newFaceInTile(const FaceDetection& f, const PixelBox& tile, int width, int height,
                   const std::vector<FaceDetection>& found) {
  const double margin = 0.05 * (tile.xmax - tile.xmin);
  auto clear = [&](double lo, double hi, double tileLo, double tileHi, double frameHi) {
    return (tileLo <= 0 || lo >= tileLo + margin) && (tileHi >= frameHi || hi <= tileHi - margin);
  };
  if (!clear(f.xmin, f.xmax, tile.xmin, tile.xmax, width) ||
      !clear(f.ymin, f.ymax, tile.ymin, tile.ymax, height))
    return false;
  const PixelBox box{f.xmin, f.ymin, f.xmax, f.ymax};
  return std::none_of(found.begin(), found.end(), [&](const FaceDetection& g) {
    const PixelBox other{g.xmin, g.ymin, g.xmax, g.ymax};
    const double iw = std::min(box.xmax, other.xmax) - std::max(box.xmin, other.xmin);
    const double ih = std::min(box.ymax, other.ymax) - std::max(box.ymin, other.ymin);
    return iw > 0 && ih > 0;
  });
}

}  // namespace

Result<std::vector<FaceDetection>> MediaPipeDetector::findFaces(std::vector<bool>& needsMesh) {
  auto faces = models_.faceDetector->detect(rgb_);
  if (!faces) return faces.status();
  needsMesh.assign(faces->size(), false);
  // People further away are small in the whole frame; each tile shows them larger. A face
  // found only in a tile must prove itself with a mesh. The first detection of a sequence
  // looks in every tile; later ones take turns, half the tiles each (a face once found is
  // followed without them), which halves the tiles' cost; a face that comes is then found
  // within two detections.
  const std::vector<PixelBox> tiles = overlappingTiles(rgb_.width, rgb_.height);
  const bool allTiles = freshSequence_;
  freshSequence_ = false;
  for (size_t i = 0; i < tiles.size(); ++i) {
    if (!allTiles && i % 2 != tileTurn_) continue;
    const PixelBox& tile = tiles[i];
    auto inTile = models_.faceDetector->detect(rgb_, tile);
    if (!inTile) return inTile.status();
    for (const FaceDetection& f : *inTile) {
      if (!newFaceInTile(f, tile, rgb_.width, rgb_.height, *faces)) continue;
      faces->push_back(f);
      needsMesh.push_back(true);
    }
  }
  tileTurn_ = allTiles ? 0 : 1 - tileTurn_;
  return faces;
}

Result<std::vector<FaceObservation>> MediaPipeDetector::detectFaces() {
  followedFaces_.reset();
  std::vector<bool> needsMesh;
  auto faces = findFaces(needsMesh);
  if (!faces) return faces.status();
  // Largest first, so the meshes go to the faces that matter.
  const std::vector<size_t> order = largestFirst(faces->size(), [&](size_t i) {
    const FaceDetection& f = (*faces)[i];
    return (f.xmax - f.xmin) * (f.ymax - f.ymin);
  });
  const double w = rgb_.width, h = rgb_.height;
  std::vector<FaceObservation> out;
  // Every face must have a mesh for the next frame to follow them all by their meshes.
  std::vector<PixelRotatedRect> follow;
  bool followable = true;
  size_t meshes = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const FaceDetection& f = (*faces)[order[k]];
    const bool mustProve = needsMesh[order[k]];
    if (mustProve && meshes >= kMaxMeshFaces) continue;
    const size_t i = meshes++;
    FaceObservation obs;
    // The detector's box, normalised, origin at the lower left.
    obs.boundingBox = {f.xmin / w, 1.0 - f.ymax / h, (f.xmax - f.xmin) / w, (f.ymax - f.ymin) / h};
    followable = followable && i < kMaxMeshFaces;
    if (i < kMaxMeshFaces) {
      auto mesh = models_.faceLandmarker->run(rgb_, f);
      if (!mesh) return mesh.status();
      if (mesh->presence >= kMinFacePresence) {
        obs = faceFromMesh(*mesh);
        follow.push_back(meshCrop(mesh->points));
      } else if (mustProve) {
        --meshes;
        continue;
      } else {
        followable = false;
      }
    }
    out.push_back(std::move(obs));
  }
  if (followable) followedFaces_ = std::move(follow);
  return out;
}

Result<std::vector<FaceObservation>> MediaPipeDetector::keepMissedFaces(
    const std::vector<PixelRotatedRect>& before, std::vector<FaceObservation> faces) {
  auto holds = [&](const Rect& b, double x, double y) {
    const PixelBox p = inPixels(b, rgb_.width, rgb_.height);
    return x >= p.xmin && x <= p.xmax && y >= p.ymin && y <= p.ymax;
  };
  auto overlapsFound = [&](const Rect& box) {
    return std::any_of(faces.begin(), faces.end(), [&](const FaceObservation& f) {
      return sharedArea(box, f.boundingBox) > 0;
    });
  };
  std::vector<PixelRotatedRect> follow = *followedFaces_;
  for (const PixelRotatedRect& crop : before) {
    if (faces.size() >= kMaxMeshFaces) break;
    // Found again by the detector.
    if (std::any_of(faces.begin(), faces.end(), [&](const FaceObservation& f) {
          return holds(f.boundingBox, crop.centerX, crop.centerY);
        }))
      continue;
    auto mesh = models_.faceLandmarker->runOnCrop(rgb_, crop);
    if (!mesh) return mesh.status();
    if (!(mesh->presence >= kMinFacePresence)) continue;  // gone
    FaceObservation face = faceFromMesh(*mesh);
    if (overlapsFound(face.boundingBox)) continue;
    faces.push_back(std::move(face));
    follow.push_back(meshCrop(mesh->points));
  }
  // Largest first, as the detector orders them.
  const std::vector<size_t> order = largestFirst(faces.size(), [&](size_t i) {
    return faces[i].boundingBox.width * faces[i].boundingBox.height;
  });
  std::vector<FaceObservation> sorted;
  std::vector<PixelRotatedRect> sortedFollow;
  for (size_t i : order) {
    sorted.push_back(std::move(faces[i]));
    sortedFollow.push_back(follow[i]);
  }
  followedFaces_ = std::move(sortedFollow);
  return sorted;
}

Result<std::vector<FaceObservation>> MediaPipeDetector::trackFaces(bool detectNow) {
  if (!followedFaces_) return detectFaces();
  if (detectNow) {
    // A face followed until now that this detection misses is followed on while its mesh
    // holds, not dropped until a later detection finds it again: a face far away is found only
    // in tiles, and each detection after a sequence's first looks in half of them.
    const std::vector<PixelRotatedRect> before = *followedFaces_;
    auto faces = detectFaces();
    // Not followable (a face without a mesh): as detected.
    if (!faces || !followedFaces_) return faces;
    return keepMissedFaces(before, std::move(*faces));
  }
  std::vector<FaceObservation> out;
  std::vector<std::pair<double, PixelRotatedRect>> next;  // by area, for the largest first
  for (const PixelRotatedRect& crop : *followedFaces_) {
    auto mesh = models_.faceLandmarker->runOnCrop(rgb_, crop);
    if (!mesh) return mesh.status();
    if (!(mesh->presence >= kMinFacePresence)) return detectFaces();  // lost: look at once
    out.push_back(faceFromMesh(*mesh));
    next.emplace_back(out.back().boundingBox.width * out.back().boundingBox.height,
                      meshCrop(mesh->points));
  }
  // Largest first, as the detector orders them.
  const std::vector<size_t> order =
      largestFirst(out.size(), [&](size_t i) { return next[i].first; });
  std::vector<FaceObservation> sorted;
  std::vector<PixelRotatedRect> follow;
  for (size_t i : order) {
    // Two followed faces that drift onto one face become one.
    const Rect& box = out[i].boundingBox;
    const bool again = std::any_of(sorted.begin(), sorted.end(), [&](const FaceObservation& k) {
      return sharedArea(box, k.boundingBox) > kSameFaceOverlap * box.width * box.height;
    });
    if (again) continue;
    sorted.push_back(std::move(out[i]));
    follow.push_back(next[i].second);
  }
  followedFaces_ = std::move(follow);
  return sorted;
}

// What one perform found, branch by branch.
struct MediaPipeDetector::Found {
  std::vector<FaceObservation> faces;
  std::vector<HandObservation> hands;
  std::vector<BodyObservation> bodies;
};

namespace {

// Runs one branch: its results into `into` on success, its failure into `status`.
template <class T>
void runBranch(Result<T> result, T& into, Status& status) {
  if (!result) {
    status = result.status();
    return;
  }
  into = std::move(result.value());
}

}  // namespace

Status MediaPipeDetector::runBranches(std::span<Request* const> requests, bool detectNow,
                                      Found& found) {
  bool faceWork = false;
  const DetectHumanHandPoseRequest* handReq = nullptr;
  bool bodyWork = false;
  for (Request* r : requests) {
    faceWork |= r->kind() == RequestKind::FaceLandmarks || r->kind() == RequestKind::FaceRectangles;
    bodyWork |= r->kind() == RequestKind::HumanBodyPose;
    if (r->kind() == RequestKind::HumanHandPose)
      handReq = static_cast<const DetectHumanHandPoseRequest*>(r);
  }
  // Faces, hands and bodies share nothing but the read-only RGB frame, so the branches run on
  // two threads, one model per thread (no XNNPACK workers spinning). Each thread takes the next
  // branch, longest first. On a detecting frame the face branch (whole frame, tiles, meshes) is
  // about as long as the other two together (measured 23, 11 and 11 ms), so it gets a core to
  // itself while the body and then the hands take the other; between detections the three are
  // short and about even. Three threads on two cores would share both cores three ways and
  // finish the longest branch last.
  const int maxHands = handReq ? std::max(0, handReq->maximumHandCount) : 0;
  // Hands of people far away are looked for around their faces. This frame's faces are found
  // beside the hands, so the search takes the last frame's: a tenth of a second earlier at the
  // analysis cadence, and the search region is six face widths wide. (Waiting for this frame's
  // faces would put the face and hand branches one after the other.)
  const HandSearchRegions handSearch =
      handReq ? handSearch_.plan(lastFaces_, detectNow, rgb_.width, rgb_.height)
              : HandSearchRegions{};
  Status faceStatus = Status::ok(), handStatus = Status::ok(), bodyStatus = Status::ok();
  std::vector<std::function<void()>> branches;
  if (faceWork)
    branches.push_back([&] { runBranch(trackFaces(detectNow), found.faces, faceStatus); });
  if (bodyWork)
    branches.push_back(
        [&] { runBranch(models_.bodies->track(rgb_, detectNow), found.bodies, bodyStatus); });
  if (handReq)
    branches.push_back([&] {
      runBranch(models_.hands->track(rgb_, maxHands, detectNow, handSearch), found.hands,
                handStatus);
    });
  std::atomic<size_t> next{0};
  auto takeBranches = [&] {
    for (size_t i = next++; i < branches.size(); i = next++) branches[i]();
    return true;
  };
  // The helper is always waited for before returning: it reads rgb_ and the pipelines.
  auto helper = runBeside(branches.size() > 1, takeBranches);
  takeBranches();
  helper.get();
  if (!bodyStatus) return bodyStatus;
  if (!handStatus) return handStatus;
  return faceStatus;
}

void MediaPipeDetector::startSequence() {
  sequenceFrame_ = 0;
  freshSequence_ = true;
  followedFaces_.reset();
  lastFaces_.clear();
  handSearch_.forget();
  models_.hands->forget();
  models_.bodies->forget();
}

Status MediaPipeDetector::perform(const PixelBuffer& image, std::span<Request* const> requests) {
  unsigned work = 0;
  for (Request* r : requests) work |= 1u << static_cast<unsigned>(r->kind());
  if (work != lastWork_ || (rgb_.width != image.width() || rgb_.height != image.height()))
    startSequence();
  lastWork_ = work;
  if (Status s = convertToRgb(image, rgb_); !s) {
    startSequence();
    return s;
  }
  addLetterboxSource(rgb_, kLargestLetterbox);
  const bool detectNow = sequenceFrame_ == 0;
  sequenceFrame_ = (sequenceFrame_ + 1) % tracking_.detectEvery;
  Found found;
  if (Status s = runBranches(requests, detectNow, found); !s) {
    // What a failed frame left behind is not followed.
    startSequence();
    return s;
  }
  lastFaces_.clear();
  for (const FaceObservation& f : found.faces)
    lastFaces_.push_back(inPixels(f.boundingBox, rgb_.width, rgb_.height));
  for (Request* r : requests) {
    switch (r->kind()) {
      case RequestKind::FaceLandmarks:
        static_cast<DetectFaceLandmarksRequest*>(r)->results = found.faces;
        break;
      case RequestKind::FaceRectangles: {
        // Rectangles with angles only; the landmark regions belong to the other request.
        std::vector<FaceObservation> rects = found.faces;
        for (auto& f : rects) f.landmarks.reset();
        static_cast<DetectFaceRectanglesRequest*>(r)->results = std::move(rects);
        break;
      }
      case RequestKind::HumanHandPose:
        static_cast<DetectHumanHandPoseRequest*>(r)->results = found.hands;
        break;
      case RequestKind::HumanBodyPose:
        static_cast<DetectHumanBodyPoseRequest*>(r)->results = found.bodies;
        break;
    }
  }
  return Status::ok();
}

}  // namespace talvex::vision
