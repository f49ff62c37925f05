#include "platform/vision/face/head_pose.h"

#include <Eigen/Dense>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace talvex::vision {
namespace {

// Just enough of the protocol buffer wire format for the geometry metadata.
class Wire {
 public:
  explicit Wire(std::span<const uint8_t> b) : b_(b) {}
  bool done() const { return pos_ >= b_.size(); }
  bool bad() const { return bad_; }
  bool varint(uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ >= b_.size()) return fail();
      uint8_t c = b_[pos_++];
      v |= uint64_t{c & 0x7fu} << shift;
      if (c < 0x80) return true;
    }
    return fail();
  }
  bool fixed32(uint32_t& v) {
    if (b_.size() - pos_ < 4) return fail();
    std::memcpy(&v, b_.data() + pos_, 4);
    pos_ += 4;
    return true;
  }
  bool bytes(std::span<const uint8_t>& out) {
    uint64_t n;
    if (!varint(n) || n > b_.size() - pos_) return fail();
    out = b_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  bool skip(int wireType) {
    uint64_t v;
    uint32_t f;
    std::span<const uint8_t> s;
    switch (wireType) {
      case 0:
        return varint(v);
      case 1:
        if (b_.size() - pos_ < 8) return fail();
        pos_ += 8;
        return true;
      case 2:
        return bytes(s);
      case 5:
        return fixed32(f);
      default:
        return fail();
    }
  }

 private:
  bool fail() {
    bad_ = true;
    pos_ = b_.size();
    return false;
  }
  std::span<const uint8_t> b_;
  size_t pos_ = 0;
  bool bad_ = false;
};

float asFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// Mesh3d: 1 vertex type (0: position + texture, 5 floats), 3 vertex buffer (floats).
bool parseMesh(std::span<const uint8_t> b, std::vector<float>& floats, uint64_t& vertexType) {
  Wire w(b);
  while (!w.done()) {
    uint64_t key;
    if (!w.varint(key)) return false;
    const int field = static_cast<int>(key >> 3), type = static_cast<int>(key & 7);
    if (field == 1 && type == 0) {
      if (!w.varint(vertexType)) return false;
    } else if (field == 3 && type == 5) {
      uint32_t u;
      if (!w.fixed32(u)) return false;
      floats.push_back(asFloat(u));
    } else if (field == 3 && type == 2) {  // packed
      std::span<const uint8_t> p;
      if (!w.bytes(p) || p.size() % 4) return false;
      for (size_t i = 0; i < p.size(); i += 4) {
        uint32_t u;
        std::memcpy(&u, p.data() + i, 4);
        floats.push_back(asFloat(u));
      }
    } else if (!w.skip(type)) {
      return false;
    }
  }
  return !w.bad();
}

// WeightedLandmarkRef: 1 landmark id, 2 weight.
bool parseRef(std::span<const uint8_t> b, int& id, double& weight) {
  Wire w(b);
  id = -1;
  weight = 0;
  while (!w.done()) {
    uint64_t key, v;
    uint32_t u;
    if (!w.varint(key)) return false;
    const int field = static_cast<int>(key >> 3), type = static_cast<int>(key & 7);
    if (field == 1 && type == 0) {
      if (!w.varint(v)) return false;
      id = static_cast<int>(v);
    } else if (field == 2 && type == 5) {
      if (!w.fixed32(u)) return false;
      weight = asFloat(u);
    } else if (!w.skip(type)) {
      return false;
    }
  }
  return !w.bad();
}

}  // namespace

Result<CanonicalFace> parseCanonicalFace(std::span<const uint8_t> bytes) {
  using R = Result<CanonicalFace>;
  CanonicalFace face;
  std::vector<float> floats;
  uint64_t vertexType = 0;
  Wire w(bytes);
  while (!w.done()) {
    uint64_t key;
    if (!w.varint(key)) break;
    const int field = static_cast<int>(key >> 3), type = static_cast<int>(key & 7);
    std::span<const uint8_t> sub;
    if (field == 1 && type == 2) {
      if (!w.bytes(sub) || !parseMesh(sub, floats, vertexType))
        return R::failure("face geometry: damaged mesh");
    } else if (field == 2 && type == 2) {
      int id;
      double weight;
      if (!w.bytes(sub) || !parseRef(sub, id, weight))
        return R::failure("face geometry: damaged landmark basis");
      face.basis.emplace_back(id, weight);
    } else if (!w.skip(type)) {
      break;
    }
  }
  if (w.bad()) return R::failure("face geometry: damaged file");
  if (vertexType != 0 || floats.size() % 5 != 0)
    return R::failure("face geometry: unexpected vertex layout");
  for (size_t i = 0; i + 4 < floats.size(); i += 5)
    face.vertices.push_back({floats[i], floats[i + 1], floats[i + 2]});
  if (face.vertices.size() < 468)
    return R::failure("face geometry: the canonical mesh is incomplete");
  for (const auto& [id, weight] : face.basis)
    if (id < 0 || static_cast<size_t>(id) >= face.vertices.size() || !(weight >= 0))
      return R::failure("face geometry: landmark basis refers to a missing vertex");
  if (face.basis.size() < 4) return R::failure("face geometry: landmark basis too small");
  return face;
}

Result<CanonicalFace> loadCanonicalFace(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Result<CanonicalFace>::failure("cannot open face geometry " + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return parseCanonicalFace(bytes);
}

Result<HeadAngles> estimateHeadAngles(const CanonicalFace& face,
                                      const std::vector<PixelPoint3>& mesh) {
  using R = Result<HeadAngles>;
  const size_t n = face.basis.size();
  Eigen::Matrix3Xd src(3, n), dst(3, n);
  Eigen::VectorXd w(n);
  for (size_t k = 0; k < n; ++k) {
    const auto& [id, weight] = face.basis[k];
    if (static_cast<size_t>(id) >= mesh.size()) return R::failure("mesh lacks a basis landmark");
    const ModelPoint3& c = face.vertices[static_cast<size_t>(id)];
    const PixelPoint3& m = mesh[static_cast<size_t>(id)];
    src.col(static_cast<Eigen::Index>(k)) << c.x, c.y, c.z;
    // Frame pixels (y down, depth away) turned half a revolution about x: y up, z towards us.
    dst.col(static_cast<Eigen::Index>(k)) << m.x, -m.y, -m.z;
    w(static_cast<Eigen::Index>(k)) = weight;
  }
  const double total = w.sum();
  if (!(total > 0)) return R::failure("landmark basis has no weight");
  const Eigen::Vector3d srcMean = src * w / total, dstMean = dst * w / total;
  const Eigen::Matrix3Xd a = src.colwise() - srcMean, b = dst.colwise() - dstMean;
  // Weighted Kabsch: the rotation that best turns the canonical face onto the mesh.
  const Eigen::Matrix3d cov = b * w.asDiagonal() * a.transpose();
  Eigen::JacobiSVD<Eigen::Matrix3d> svd(cov, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.singularValues()(1) <= 1e-9 * std::max(1.0, svd.singularValues()(0)))
    return R::failure("mesh is degenerate");
  Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
  if ((svd.matrixU() * svd.matrixV().transpose()).determinant() < 0) d(2, 2) = -1;
  const Eigen::Matrix3d rot = svd.matrixU() * d * svd.matrixV().transpose();
  // Where the face's forward (out of the face) and up directions point.
  const Eigen::Vector3d fwd = rot.col(2), up = rot.col(1);
  HeadAngles h;
  h.yaw = std::atan2(fwd.x(), fwd.z());
  h.pitch = std::atan2(fwd.y(), std::hypot(fwd.x(), fwd.z()));
  // Roll: the up direction's lean within the image plane, after taking out yaw and pitch.
  const Eigen::Vector3d right = up.cross(fwd).normalized();
  const Eigen::Vector3d levelRight = Eigen::Vector3d::UnitY().cross(fwd).normalized();
  const Eigen::Vector3d levelUp = fwd.cross(levelRight).normalized();
  h.roll = std::atan2(right.dot(levelUp), right.dot(levelRight));
  if (!std::isfinite(h.yaw) || !std::isfinite(h.pitch) || !std::isfinite(h.roll))
    return R::failure("head angles are undefined for this mesh");
  return h;
}

}  // namespace talvex::vision
