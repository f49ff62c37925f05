// Finds faces in a whole frame with the short-range BlazeFace model: the frame is letterboxed
// into the model's square input, boxes are decoded against SSD anchors and overlapping boxes
// merged by weighted non-maximum suppression.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/ops/image_ops.h"
#include "platform/vision/ops/ssd_anchors.h"
#include "platform/vision/tflite/model.h"

namespace talvex::vision {

// A face in frame pixels (y down). Keypoints in the model's order: the eye on the image's left
// (the subject's right eye), the other eye, nose tip, mouth centre, and the two ear tragions.
struct FaceDetection {
  float score = 0;
  float xmin = 0, ymin = 0, xmax = 0, ymax = 0;
  std::array<PixelKeyPoint, 6> keypoints{};
};

// Which BlazeFace model: the short-range one (128 x 128, faces filling a good part of the
// frame) or the full-range one (192 x 192, also faces a few metres away).
enum class FaceRange { Short, Full };

// Lifecycle: loaded once, then detect() per frame. Threading: one thread at a time.
class FaceDetector {
 public:
  static Result<std::unique_ptr<FaceDetector>> load(FaceRange range, int threads);
  // The same from a given file, which must be a model of that kind (checked by its shapes).
  static Result<std::unique_ptr<FaceDetector>> loadFile(const std::string& path, FaceRange range,
                                                        int threads);
  // The same from a model already loaded (takes it); `name` names it in messages.
  static Result<std::unique_ptr<FaceDetector>> fromModel(std::unique_ptr<tflite::Model> model,
                                                         const std::string& name, FaceRange range);
  // The installed model file of each range.
  static const char* modelFile(FaceRange range);
  // Faces sorted by score, highest first. Fails only if the model fails to run.
  Result<std::vector<FaceDetection>> detect(const RgbImage& frame);
  // The same in one region of the frame (frame pixels), scaled up to the model's input where
  // the whole frame would be scaled down; the faces are given in whole-frame pixels.
  Result<std::vector<FaceDetection>> detect(const RgbImage& frame, const PixelBox& region);

 private:
  FaceDetector(std::unique_ptr<tflite::Model> model, int inputSize, std::vector<Anchor> anchors,
               float minScore);
  std::unique_ptr<tflite::Model> model_;
  int inputSize_;
  std::vector<Anchor> anchors_;
  float minScore_;
  size_t boxesOut_ = 0, scoresOut_ = 1;
};

}  // namespace talvex::vision
