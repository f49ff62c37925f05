#include "platform/vision/face/face_pipeline.h"

#include <algorithm>

#include "platform/vision/face/face_regions.h"

namespace talvex::vision {
namespace {

constexpr FaceRange kFaceRange = FaceRange::Full;
constexpr float kMinFacePresence = 0.5f;
constexpr int kMeshPoints = 468;  // the face proper; the irises lie inside it
// A followed face lying this much inside a larger one is that face followed twice.
constexpr double kSameFaceOverlap = 0.6;

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

}  // namespace

FacePipeline::FacePipeline(std::unique_ptr<FaceDetector> detector,
                           std::unique_ptr<FaceLandmarker> landmarker, CanonicalFace canonicalFace)
    : detector_(std::move(detector)),
      landmarker_(std::move(landmarker)),
      canonicalFace_(std::move(canonicalFace)) {}
FacePipeline::~FacePipeline() = default;

Result<std::unique_ptr<FaceDetector>> FacePipeline::loadDetector(int threads) {
  return FaceDetector::load(kFaceRange, threads);
}

Result<std::vector<FaceObservation>> FacePipeline::track(const RgbImage& frame, bool detectNow) {
  rgb_ = &frame;
  auto faces = trackFaces(detectNow);
  rgb_ = nullptr;
  return faces;
}

void FacePipeline::forget() {
  freshSequence_ = true;
  followedFaces_.reset();
}

FaceObservation FacePipeline::faceFromMesh(const FaceMesh& mesh) const {
  const double w = rgb_->width, h = rgb_->height;
  FaceObservation obs;
  // With a mesh the box is the mesh's extent: steadier and tighter than the detector's box,
  // which is coarse for small faces.
  const PixelBox boxPixels = meshBox(mesh.points);
  obs.boundingBox = {boxPixels.xmin / w, 1.0 - (boxPixels.ymin + boxPixels.height()) / h,
                     boxPixels.width() / w, boxPixels.height() / h};
  obs.landmarks = faceRegions(mesh.points, boxPixels);
  if (auto angles = estimateHeadAngles(canonicalFace_, mesh.points)) {
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

Result<std::vector<FaceDetection>> FacePipeline::findFaces(std::vector<bool>& needsMesh) {
  auto faces = detector_->detect(*rgb_);
  if (!faces) return faces.status();
  needsMesh.assign(faces->size(), false);
  // People further away are small in the whole frame; each tile shows them larger. A face
  // found only in a tile must prove itself with a mesh. The first detection of a sequence
  // looks in every tile; later ones take turns, half the tiles each (a face once found is
  // followed without them), which halves the tiles' cost; a face that comes is then found
  // within two detections.
  const std::vector<PixelBox> tiles = overlappingTiles(rgb_->width, rgb_->height);
  const bool allTiles = freshSequence_;
  freshSequence_ = false;
  for (size_t i = 0; i < tiles.size(); ++i) {
    if (!allTiles && i % 2 != tileTurn_) continue;
    const PixelBox& tile = tiles[i];
    auto inTile = detector_->detect(*rgb_, tile);
    if (!inTile) return inTile.status();
    for (const FaceDetection& f : *inTile) {
      if (!newFaceInTile(f, tile, rgb_->width, rgb_->height, *faces)) continue;
      faces->push_back(f);
      needsMesh.push_back(true);
    }
  }
  tileTurn_ = allTiles ? 0 : 1 - tileTurn_;
  return faces;
}

Result<std::vector<FaceObservation>> FacePipeline::detectFaces() {
  followedFaces_.reset();
  std::vector<bool> needsMesh;
  auto faces = findFaces(needsMesh);
  if (!faces) return faces.status();
  // Largest first, so the meshes go to the faces that matter.
  const std::vector<size_t> order = largestFirst(faces->size(), [&](size_t i) {
    const FaceDetection& f = (*faces)[i];
    return (f.xmax - f.xmin) * (f.ymax - f.ymin);
  });
  const double w = rgb_->width, h = rgb_->height;
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
      auto mesh = landmarker_->run(*rgb_, f);
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

Result<std::vector<FaceObservation>> FacePipeline::keepMissedFaces(
    const std::vector<PixelRotatedRect>& before, std::vector<FaceObservation> faces) {
  auto holds = [&](const Rect& b, double x, double y) {
    const PixelBox p = inPixels(b, rgb_->width, rgb_->height);
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
    auto mesh = landmarker_->runOnCrop(*rgb_, crop);
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

Result<std::vector<FaceObservation>> FacePipeline::trackFaces(bool detectNow) {
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
    auto mesh = landmarker_->runOnCrop(*rgb_, crop);
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

}  // namespace talvex::vision
