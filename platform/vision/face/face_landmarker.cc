#include "platform/vision/face/face_landmarker.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "platform/vision/ops/model_paths.h"
#include "platform/vision/ops/ssd_anchors.h"

namespace talvex::vision {
namespace {

constexpr const char* kModelFile = "face_landmark_with_attention.tflite";
constexpr int kInputSize = 192;
constexpr int kMeshPoints = 468;
constexpr float kCropScale = 1.5f;
// How far (radians) the eye line and the square to the eyes-to-mouth line may disagree for the
// detector's eye points to turn the mesh's crop: 25 degrees.
constexpr double kMaxKeypointDisagreement = 25 * std::numbers::pi / 180;

// The attention model refines three regions in outputs of their own: point k of each output
// is mesh point kXxx[k] (the order the model's crops are built from). Verified against the
// model: each refined point lies within about a pixel of the mesh point it replaces.
const std::array<int, 80> kRefinedLips{
    61, 146, 91, 181, 84, 17, 314, 405, 321, 375, 291, 185, 40, 39, 37, 0,  267, 269, 270, 409,
    78, 95,  88, 178, 87, 14, 317, 402, 318, 324, 308, 191, 80, 81, 82, 13, 312, 311, 310, 415,
    76, 77,  90, 180, 85, 16, 315, 404, 320, 307, 306, 184, 74, 73, 72, 11, 302, 303, 304, 408,
    62, 96,  89, 179, 86, 15, 316, 403, 319, 325, 292, 183, 42, 41, 38, 12, 268, 271, 272, 407};
const std::array<int, 71> kRefinedRightEye{
    33,  7,   163, 144, 145, 153, 154, 155, 133, 246, 161, 160, 159, 158, 157, 173, 130, 25,
    110, 24,  23,  22,  26,  112, 243, 247, 30,  29,  27,  28,  56,  190, 226, 31,  228, 229,
    230, 231, 232, 233, 244, 113, 225, 224, 223, 222, 221, 189, 35,  124, 46,  53,  52,  65,
    143, 111, 117, 118, 119, 120, 121, 128, 245, 156, 70,  63,  105, 66,  107, 55,  193};
const std::array<int, 71> kRefinedLeftEye{
    263, 249, 390, 373, 374, 380, 381, 382, 362, 466, 388, 387, 386, 385, 384, 398, 359, 255,
    339, 254, 253, 252, 256, 341, 463, 467, 260, 259, 257, 258, 286, 414, 446, 261, 448, 449,
    450, 451, 452, 453, 464, 342, 445, 444, 443, 442, 441, 413, 265, 353, 276, 283, 282, 295,
    372, 340, 346, 347, 348, 349, 350, 357, 465, 383, 300, 293, 334, 296, 336, 285, 417};

}  // namespace

PixelRotatedRect faceCrop(const FaceDetection& face) {
  // Keypoints 0 and 1 are the eyes, 3 the mouth; the crop turns with the line between the
  // eyes. On small faces against busy backgrounds the detector's eye points can be far off (an
  // eye line turned 57 degrees on an upright 54 px face), and the mesh follows the turn of its
  // crop with full confidence (roll 39 degrees off). The line from between the eyes to the
  // mouth stands square on the eye line of any face, within 7 degrees on the webcam clips and
  // portraits: when the two disagree by more, the crop stays upright and the mesh's own second
  // pass turns it.
  const PixelKeyPoint a = face.keypoints[0], b = face.keypoints[1], mouth = face.keypoints[3];
  const double eyeLine = std::atan2(b.y - a.y, b.x - a.x);
  const double down = std::atan2(-(mouth.x - (a.x + b.x) / 2), mouth.y - (a.y + b.y) / 2);
  const bool pointsAgree =
      std::abs(std::remainder(eyeLine - down, 2 * std::numbers::pi)) <= kMaxKeypointDisagreement;
  const double angle = pointsAgree ? eyeLine : 0.0;
  PixelRotatedRect r;
  r.centerX = (face.xmin + face.xmax) / 2;
  r.centerY = (face.ymin + face.ymax) / 2;
  const float side = std::max(face.xmax - face.xmin, face.ymax - face.ymin) * kCropScale;
  r.width = r.height = side;
  r.rotation = static_cast<float>(std::remainder(angle, 2 * std::numbers::pi));
  return r;
}

PixelRotatedRect meshCrop(const std::vector<PixelPoint3>& mesh) {
  PixelRotatedRect r;
  if (mesh.size() < static_cast<size_t>(kMeshPoints)) return r;
  const PixelPoint3& a = mesh[33];   // the subject's right eye, outer corner
  const PixelPoint3& b = mesh[263];  // the left eye, outer corner
  const double angle = std::atan2(b.y - a.y, b.x - a.x);
  const double c = std::cos(angle), s = std::sin(angle);
  double minU = 1e30, maxU = -1e30, minV = 1e30, maxV = -1e30;
  for (int i = 0; i < kMeshPoints; ++i) {
    const double u = c * mesh[i].x + s * mesh[i].y, v = -s * mesh[i].x + c * mesh[i].y;
    minU = std::min(minU, u);
    maxU = std::max(maxU, u);
    minV = std::min(minV, v);
    maxV = std::max(maxV, v);
  }
  const double mu = (minU + maxU) / 2, mv = (minV + maxV) / 2;
  r.centerX = static_cast<float>(c * mu - s * mv);
  r.centerY = static_cast<float>(s * mu + c * mv);
  r.width = r.height = static_cast<float>(std::max(maxU - minU, maxV - minV) * kCropScale);
  r.rotation = static_cast<float>(angle);
  return r;
}

Result<std::unique_ptr<FaceLandmarker>> FaceLandmarker::load(int threads) {
  auto path = modelPath(kModelFile);
  if (!path) return path.status();
  return loadFile(*path, threads);
}

Result<std::unique_ptr<FaceLandmarker>> FaceLandmarker::loadFile(const std::string& path,
                                                                 int threads) {
  using R = Result<std::unique_ptr<FaceLandmarker>>;
  auto model = tflite::Model::load(path, threads);
  if (!model) return model.status();
  std::unique_ptr<FaceLandmarker> l(new FaceLandmarker(std::move(model.value())));
  auto& m = *l->model_;
  if (m.inputCount() != 1 || m.inputShape(0).dims != std::vector<int>{1, kInputSize, kInputSize, 3})
    return R::failure(path + ": not the face mesh model (unexpected input shape)");
  auto mesh = m.outputIndex("output_mesh_identity");
  auto li = m.outputIndex("output_left_iris");
  auto ri = m.outputIndex("output_right_iris");
  auto flag = m.outputIndex("conv_faceflag");
  // The model names its eye outputs from the viewer's side: "left" is the subject's right.
  auto lips = m.outputIndex("output_lips");
  auto viewerLeftEye = m.outputIndex("output_left_eye");
  auto viewerRightEye = m.outputIndex("output_right_eye");
  if (!lips || !viewerLeftEye || !viewerRightEye ||
      m.outputShape(*lips).elements() != 2 * kRefinedLips.size() ||
      m.outputShape(*viewerLeftEye).elements() != 2 * kRefinedRightEye.size() ||
      m.outputShape(*viewerRightEye).elements() != 2 * kRefinedLeftEye.size())
    return R::failure(path + ": not the face mesh model (missing or misshapen refinement outputs)");
  l->lipsOut_ = *lips;
  l->rightEyeOut_ = *viewerLeftEye;
  l->leftEyeOut_ = *viewerRightEye;
  if (!mesh || !li || !ri || !flag || m.outputShape(*mesh).elements() != kMeshPoints * 3 ||
      m.outputShape(*li).elements() != 10 || m.outputShape(*ri).elements() != 10 ||
      m.outputShape(*flag).elements() != 1)
    return R::failure(path + ": not the face mesh model (missing or misshapen outputs)");
  l->meshOut_ = *mesh;
  l->leftIrisOut_ = *li;
  l->rightIrisOut_ = *ri;
  l->flagOut_ = *flag;
  return l;
}

Result<FaceMesh> FaceLandmarker::run(const RgbImage& frame, const FaceDetection& face) {
  auto first = runOnCrop(frame, faceCrop(face));
  if (!first || first->presence < 0.5f) return first;
  const PixelRotatedRect refined = meshCrop(first->points);
  if (!(refined.width > 1)) return first;
  return runOnCrop(frame, refined);
}

Result<FaceMesh> FaceLandmarker::runOnCrop(const RgbImage& frame, const PixelRotatedRect& roi) {
  const CropTransform tr =
      warpToTensor(frame, roi, kInputSize, kInputSize, 0.f, 1.f, model_->input(0));
  if (Status s = model_->invoke(); !s) return s;
  FaceMesh mesh;
  mesh.presence = sigmoid(model_->output(flagOut_)[0]);
  mesh.points.reserve(kPointCount);
  // Depth is in crop pixels; scale it like x so the mesh keeps its proportions in the frame.
  const double zScale = roi.width / kInputSize;
  auto add = [&](double px, double py, double pz) {
    PixelPoint3 p;
    tr.map(px / kInputSize, py / kInputSize, p.x, p.y);
    p.z = pz * zScale;
    mesh.points.push_back(p);
  };
  const float* m = model_->output(meshOut_);
  for (int i = 0; i < kMeshPoints; ++i) add(m[3 * i], m[3 * i + 1], m[3 * i + 2]);
  // Lips and eyes (with brows) from the refined outputs; depth stays the mesh's.
  auto refine = [&](size_t out, const auto& indices) {
    const float* r = model_->output(out);
    for (size_t k = 0; k < indices.size(); ++k) {
      PixelPoint3& p = mesh.points[static_cast<size_t>(indices[k])];
      tr.map(r[2 * k] / kInputSize, r[2 * k + 1] / kInputSize, p.x, p.y);
    }
  };
  refine(lipsOut_, kRefinedLips);
  refine(rightEyeOut_, kRefinedRightEye);
  refine(leftEyeOut_, kRefinedLeftEye);
  // The iris outputs give x, y only; they take the depth of the eye's centre point.
  // The model's "left" iris (viewer's side) is the subject's right: points 468..472.
  for (size_t out : {leftIrisOut_, rightIrisOut_}) {
    const float* iris = model_->output(out);
    for (int k = 0; k < 5; ++k) add(iris[2 * k], iris[2 * k + 1], 0);
  }
  return mesh;
}

}  // namespace talvex::vision
