#include "platform/vision/face_detector.h"

#include "platform/vision/model_paths.h"
#include "platform/vision/weighted_nms.h"

namespace talvex::vision {
namespace {

constexpr const char* kModelFile = "face_detection_short_range.tflite";
constexpr int kInputSize = 128;
constexpr float kMinScore = 0.5f;
constexpr float kNmsOverlap = 0.3f;

SsdAnchorOptions anchorOptions() {
  SsdAnchorOptions o;
  o.inputWidth = o.inputHeight = kInputSize;
  o.strides = {8, 16, 16, 16};
  o.minScale = 0.1484375f;
  o.maxScale = 0.75f;
  return o;
}

}  // namespace

FaceDetector::FaceDetector(std::unique_ptr<tflite::Model> model)
    : model_(std::move(model)), anchors_(generateAnchors(anchorOptions())) {}

Result<std::unique_ptr<FaceDetector>> FaceDetector::load(int threads) {
  using R = Result<std::unique_ptr<FaceDetector>>;
  auto path = modelPath(kModelFile);
  if (!path) return path.status();
  auto model = tflite::Model::load(*path, threads);
  if (!model) return model.status();
  auto& m = *model.value();
  const auto expectIn = std::vector<int>{1, kInputSize, kInputSize, 3};
  if (m.inputCount() != 1 || m.inputShape(0).dims != expectIn)
    return R::failure(std::string(kModelFile) + ": unexpected input shape");
  auto boxes = m.outputIndex("regressors");
  auto scores = m.outputIndex("classificators");
  if (!boxes || !scores) return R::failure(std::string(kModelFile) + ": missing outputs");
  std::unique_ptr<FaceDetector> d(new FaceDetector(std::move(model.value())));
  d->boxesOut_ = *boxes;
  d->scoresOut_ = *scores;
  const size_t n = d->anchors_.size();
  if (d->model_->outputShape(*boxes).elements() != n * 16 ||
      d->model_->outputShape(*scores).elements() != n)
    return R::failure(std::string(kModelFile) + ": outputs do not match the anchors");
  return d;
}

Result<std::vector<FaceDetection>> FaceDetector::detect(const RgbImage& frame) {
  const Letterbox lb = letterboxToTensor(frame, kInputSize, -1.f, 1.f, model_->input(0));
  if (Status s = model_->invoke(); !s) return s;
  DecodeOptions o;
  o.numCoords = 16;
  o.numKeypoints = 6;
  o.xScale = o.yScale = o.wScale = o.hScale = kInputSize;
  o.minScore = kMinScore;
  const size_t n = anchors_.size();
  auto dets = weightedNms(decodeDetections({model_->output(boxesOut_), n * 16},
                                           {model_->output(scoresOut_), n}, anchors_, o),
                          kNmsOverlap);
  std::vector<FaceDetection> faces;
  for (const Detection& d : dets) {
    FaceDetection f;
    f.score = d.score;
    double x, y;
    lb.transform.map(d.xmin, d.ymin, x, y);
    f.xmin = static_cast<float>(x);
    f.ymin = static_cast<float>(y);
    lb.transform.map(d.xmax, d.ymax, x, y);
    f.xmax = static_cast<float>(x);
    f.ymax = static_cast<float>(y);
    for (size_t k = 0; k < f.keypoints.size() && k < d.keypoints.size(); ++k) {
      lb.transform.map(d.keypoints[k].x, d.keypoints[k].y, x, y);
      f.keypoints[k] = {static_cast<float>(x), static_cast<float>(y)};
    }
    faces.push_back(f);
  }
  return faces;
}

}  // namespace talvex::vision
