#include "platform/vision/face/face_detector.h"

#include "platform/vision/ops/model_paths.h"
#include "platform/vision/ops/weighted_nms.h"

namespace talvex::vision {
namespace {

struct Preset {
  const char* file;
  int inputSize;
  std::vector<int> strides;
  bool interpolated;
  float minScore;
};

Preset preset(FaceRange range) {
  if (range == FaceRange::Short)
    return {"face_detection_short_range.tflite", 128, {8, 16, 16, 16}, true, 0.5f};
  return {"face_detection_full_range.tflite", 192, {4}, false, 0.6f};
}

}  // namespace

FaceDetector::FaceDetector(std::unique_ptr<tflite::Model> model, int inputSize,
                           std::vector<Anchor> anchors, float minScore)
    : model_(std::move(model)),
      inputSize_(inputSize),
      anchors_(std::move(anchors)),
      minScore_(minScore) {}

const char* FaceDetector::modelFile(FaceRange range) { return preset(range).file; }

Result<std::unique_ptr<FaceDetector>> FaceDetector::load(FaceRange range, int threads) {
  auto path = modelPath(preset(range).file);
  if (!path) return path.status();
  return loadFile(*path, range, threads);
}

Result<std::unique_ptr<FaceDetector>> FaceDetector::loadFile(const std::string& path,
                                                             FaceRange range, int threads) {
  auto model = tflite::Model::load(path, threads);
  if (!model) return model.status();
  return fromModel(std::move(model.value()), path, range);
}

Result<std::unique_ptr<FaceDetector>> FaceDetector::fromModel(std::unique_ptr<tflite::Model> model,
                                                              const std::string& name,
                                                              FaceRange range) {
  using R = Result<std::unique_ptr<FaceDetector>>;
  const Preset p = preset(range);
  const tflite::Model& m = *model;
  const auto expectIn = std::vector<int>{1, p.inputSize, p.inputSize, 3};
  if (m.inputCount() != 1 || m.inputShape(0).dims != expectIn)
    return R::failure(name + ": not a face detection model (unexpected input shape)");
  SsdAnchorOptions o;
  o.inputWidth = o.inputHeight = p.inputSize;
  o.strides = p.strides;
  o.interpolatedScale = p.interpolated;
  std::vector<Anchor> anchors = generateAnchors(o);
  const size_t n = anchors.size();
  // The outputs are told apart by shape: 16 box values or one score per anchor.
  std::optional<size_t> boxes, scores;
  for (size_t i = 0; i < m.outputCount(); ++i) {
    if (m.outputShape(i).elements() == n * 16) boxes = i;
    if (m.outputShape(i).elements() == n) scores = i;
  }
  if (m.outputCount() != 2 || !boxes || !scores)
    return R::failure(name + ": not a face detection model (outputs do not match the anchors)");
  std::unique_ptr<FaceDetector> d(
      new FaceDetector(std::move(model), p.inputSize, std::move(anchors), p.minScore));
  d->boxesOut_ = *boxes;
  d->scoresOut_ = *scores;
  return d;
}

Result<std::vector<FaceDetection>> FaceDetector::detect(const RgbImage& frame) {
  return detect(frame, PixelBox{0, 0, double(frame.width), double(frame.height)});
}

Result<std::vector<FaceDetection>> FaceDetector::detect(const RgbImage& frame,
                                                        const PixelBox& region) {
  const Letterbox lb = letterboxToTensor(frame, region, inputSize_, -1.f, 1.f, model_->input(0));
  if (Status s = model_->invoke(); !s) return s;
  DecodeOptions o;
  o.numCoords = 16;
  o.numKeypoints = 6;
  o.xScale = o.yScale = o.wScale = o.hScale = static_cast<float>(inputSize_);
  o.minScore = minScore_;
  const size_t n = anchors_.size();
  auto dets = weightedNms(decodeDetections({model_->output(boxesOut_), n * 16},
                                           {model_->output(scoresOut_), n}, anchors_, o),
                          kDetectionMergeOverlap);
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
