// The 478-point face mesh (face, lips, eyes and irises) from the attention mesh model, run on a
// rotated square crop around a detected face.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/process/result.h"
#include "platform/vision/face/face_detector.h"
#include "platform/vision/ops/image_ops.h"
#include "platform/vision/tflite/model.h"

namespace talvex::vision {

// Mesh points in frame pixels (x right, y down); z is depth in the same pixel scale, smaller
// nearer the camera. Points 468..472 are the subject's right iris and 473..477 the left, each
// centre first. Lips, eyes and brows carry the attention model's refined positions.
struct FaceMesh {
  std::vector<PixelPoint3> points;
  float presence = 0;  // the model's confidence that the crop holds a face, 0..1
};

// The crop the mesh model sees for a detection: the detection box turned so the eyes are level,
// enlarged 1.5 times and made square.
PixelRotatedRect faceCrop(const FaceDetection& face);

// The crop that a mesh itself calls for: turned so the outer eye corners are level, centred on
// the mesh and 1.5 times its larger extent. The detector's box and eye points are coarse for
// small faces; a second pass on this crop settles the mesh.
PixelRotatedRect meshCrop(const std::vector<PixelPoint3>& mesh);

// Lifecycle: loaded once, run per face. Threading: one thread at a time.
class FaceLandmarker {
 public:
  static constexpr int kPointCount = 478;
  static Result<std::unique_ptr<FaceLandmarker>> load(int threads);
  // The same from a given file, which must be the attention mesh model (checked by its shapes).
  static Result<std::unique_ptr<FaceLandmarker>> loadFile(const std::string& path, int threads);
  // The mesh from the detection's crop, refined by a second pass on the mesh's own crop.
  Result<FaceMesh> run(const RgbImage& frame, const FaceDetection& face);
  // One pass on the given crop.
  Result<FaceMesh> runOnCrop(const RgbImage& frame, const PixelRotatedRect& crop);

 private:
  explicit FaceLandmarker(std::unique_ptr<tflite::Model> model) : model_(std::move(model)) {}
  std::unique_ptr<tflite::Model> model_;
  size_t meshOut_ = 0, leftIrisOut_ = 0, rightIrisOut_ = 0, flagOut_ = 0;
  size_t lipsOut_ = 0, rightEyeOut_ = 0, leftEyeOut_ = 0;  // the subject's own right and left
};

}  // namespace talvex::vision
