#include "platform/vision/face/face_regions.h"

namespace talvex::vision {

namespace mesh_index {
// Eye contours run along the lower lid from the outer corner, then back along the upper lid.
const std::vector<int> kLeftEye{263, 249, 390, 373, 374, 380, 381, 382,
                                362, 398, 384, 385, 386, 387, 388, 466};
const std::vector<int> kRightEye{33,  7,   163, 144, 145, 153, 154, 155,
                                 133, 173, 157, 158, 159, 160, 161, 246};
// Brows: the upper edge from the outer end inwards, then the lower edge back out.
const std::vector<int> kLeftEyebrow{300, 293, 334, 296, 336, 285, 295, 282, 283, 276};
const std::vector<int> kRightEyebrow{70, 63, 105, 66, 107, 55, 65, 52, 53, 46};
// Lips: from the subject's right corner along the lower lip, then back along the upper lip.
const std::vector<int> kOuterLips{61,  146, 91,  181, 84,  17, 314, 405, 321, 375,
                                  291, 409, 270, 269, 267, 0,  37,  39,  40,  185};
const std::vector<int> kInnerLips{78,  95,  88,  178, 87,  14, 317, 402, 318, 324,
                                  308, 415, 310, 311, 312, 13, 82,  81,  80,  191};
}  // namespace mesh_index

FaceLandmarks faceRegions(const std::vector<PixelPoint3>& mesh, const PixelBox& box) {
  auto region = [&](const std::vector<int>& idx) -> Region {
    std::vector<Point> pts;
    for (int i : idx) {
      if (static_cast<size_t>(i) >= mesh.size() || box.width() <= 0 || box.height() <= 0)
        return std::nullopt;
      const PixelPoint3& p = mesh[static_cast<size_t>(i)];
      pts.push_back({(p.x - box.xmin) / box.width(), 1.0 - (p.y - box.ymin) / box.height()});
    }
    return pts;
  };
  FaceLandmarks l;
  l.leftEye = region(mesh_index::kLeftEye);
  l.rightEye = region(mesh_index::kRightEye);
  l.leftEyebrow = region(mesh_index::kLeftEyebrow);
  l.rightEyebrow = region(mesh_index::kRightEyebrow);
  l.outerLips = region(mesh_index::kOuterLips);
  l.innerLips = region(mesh_index::kInnerLips);
  l.leftPupil = region({mesh_index::kLeftIrisCentre});
  l.rightPupil = region({mesh_index::kRightIrisCentre});
  return l;
}

}  // namespace talvex::vision
