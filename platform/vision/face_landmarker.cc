#include "platform/vision/face_landmarker.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/vision/model_paths.h"
#include "platform/vision/ssd_anchors.h"

namespace talvex::vision {
namespace {

constexpr const char* kModelFile = "face_landmark_with_attention.tflite";
constexpr int kInputSize = 192;
constexpr int kMeshPoints = 468;
constexpr float kCropScale = 1.5f;

}  // namespace

RotatedRect faceCrop(const FaceDetection& face) {
  // Keypoints 0 and 1 are the eyes; the crop turns with the line between them.
  const KeyPoint a = face.keypoints[0], b = face.keypoints[1];
  const double angle = std::atan2(b.y - a.y, b.x - a.x);
  RotatedRect r;
  r.centerX = (face.xmin + face.xmax) / 2;
  r.centerY = (face.ymin + face.ymax) / 2;
  const float side = std::max(face.xmax - face.xmin, face.ymax - face.ymin) * kCropScale;
  r.width = r.height = side;
  r.rotation = static_cast<float>(std::remainder(angle, 2 * std::numbers::pi));
  return r;
}

RotatedRect meshCrop(const std::vector<Point3>& mesh) {
  RotatedRect r;
  if (mesh.size() < static_cast<size_t>(kMeshPoints)) return r;
  const Point3& a = mesh[33];   // the subject's right eye, outer corner
  const Point3& b = mesh[263];  // the left eye, outer corner
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
  const RotatedRect refined = meshCrop(first->points);
  if (!(refined.width > 1)) return first;
  return runOnCrop(frame, refined);
}

Result<FaceMesh> FaceLandmarker::runOnCrop(const RgbImage& frame, const RotatedRect& roi) {
  const CropTransform tr =
      warpToTensor(frame, roi, kInputSize, kInputSize, 0.f, 1.f, model_->input(0));
  if (Status s = model_->invoke(); !s) return s;
  FaceMesh mesh;
  mesh.presence = sigmoid(model_->output(flagOut_)[0]);
  mesh.points.reserve(kPointCount);
  // Depth is in crop pixels; scale it like x so the mesh keeps its proportions in the frame.
  const double zScale = roi.width / kInputSize;
  auto add = [&](double px, double py, double pz) {
    Point3 p;
    tr.map(px / kInputSize, py / kInputSize, p.x, p.y);
    p.z = pz * zScale;
    mesh.points.push_back(p);
  };
  const float* m = model_->output(meshOut_);
  for (int i = 0; i < kMeshPoints; ++i) add(m[3 * i], m[3 * i + 1], m[3 * i + 2]);
  // The iris outputs give x, y only; they take the depth of the eye's centre point.
  for (size_t out : {leftIrisOut_, rightIrisOut_}) {
    const float* iris = model_->output(out);
    for (int k = 0; k < 5; ++k) add(iris[2 * k], iris[2 * k + 1], 0);
  }
  return mesh;
}

}  // namespace talvex::vision
