#include "platform/vision/tflite/flexbuffer.h"

#include <cstring>

namespace talvex::vision::tflite {
namespace {

enum Type : int {
  kNull = 0,
  kInt = 1,
  kUInt = 2,
  kFloat = 3,
  kKey = 4,
  kString = 5,
  kIndirectInt = 6,
  kIndirectUInt = 7,
  kIndirectFloat = 8,
  kMap = 9,
  kVector = 10,
  kVectorInt = 11,
  kVectorUInt = 12,
  kVectorFloat = 13,
  kVectorKey = 14,
  kVectorInt2 = 16,
  kVectorFloat4 = 24,
  kBlob = 25,
  kBool = 26,
  kVectorBool = 36
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> b) : b_(b) {}
  bool bad = false;

  uint64_t readUInt(size_t pos, size_t width) {
    if (width == 0 || width > 8 || pos > b_.size() || b_.size() - pos < width) {
      bad = true;
      return 0;
    }
    uint64_t v = 0;
    std::memcpy(&v, b_.data() + pos, width);  // little-endian host
    return v;
  }
  int64_t readInt(size_t pos, size_t width) {
    uint64_t u = readUInt(pos, width);
    if (width < 8 && (u >> (8 * width - 1)) & 1) u |= ~uint64_t{0} << (8 * width);
    return static_cast<int64_t>(u);
  }
  double readFloat(size_t pos, size_t width) {
    if (width == 4) {
      uint32_t u = static_cast<uint32_t>(readUInt(pos, 4));
      float f;
      std::memcpy(&f, &u, 4);
      return f;
    }
    if (width == 8) {
      uint64_t u = readUInt(pos, 8);
      double d;
      std::memcpy(&d, &u, 8);
      return d;
    }
    bad = true;
    return 0;
  }
  // Follows an offset stored at `pos` (it points backwards).
  size_t indirect(size_t pos, size_t width) {
    uint64_t off = readUInt(pos, width);
    if (off > pos) {
      bad = true;
      return 0;
    }
    return pos - static_cast<size_t>(off);
  }

  // Appends the numbers of the value at `pos` (stored `parentWidth` wide, of `packed` type).
  void numbers(size_t pos, size_t parentWidth, uint8_t packed, std::vector<double>& out,
               int depth) {
    if (depth > 4) {
      bad = true;
      return;
    }
    const int type = packed >> 2;
    const size_t childWidth = size_t{1} << (packed & 3);
    switch (type) {
      case kInt:
        out.push_back(static_cast<double>(readInt(pos, parentWidth)));
        return;
      case kUInt:
      case kBool:
        out.push_back(static_cast<double>(readUInt(pos, parentWidth)));
        return;
      case kFloat:
        out.push_back(readFloat(pos, parentWidth));
        return;
      case kIndirectInt:
        out.push_back(static_cast<double>(readInt(indirect(pos, parentWidth), childWidth)));
        return;
      case kIndirectUInt:
        out.push_back(static_cast<double>(readUInt(indirect(pos, parentWidth), childWidth)));
        return;
      case kIndirectFloat:
        out.push_back(readFloat(indirect(pos, parentWidth), childWidth));
        return;
      case kNull:
      case kKey:
      case kString:
      case kBlob:
        return;  // not numbers; ignored
      default:
        break;
    }
    const size_t target = indirect(pos, parentWidth);
    if (bad) return;
    if (type == kVector || type == kMap) {
      size_t n = static_cast<size_t>(readUInt(target - std::min(target, childWidth), childWidth));
      if (n > b_.size()) {
        bad = true;
        return;
      }
      for (size_t i = 0; i < n && !bad; ++i) {
        uint8_t t = static_cast<uint8_t>(readUInt(target + n * childWidth + i, 1));
        numbers(target + i * childWidth, childWidth, t, out, depth + 1);
      }
      return;
    }
    size_t n = 0;
    int elem = 0;
    if (type >= kVectorInt && type <= kVectorFloat) {
      n = static_cast<size_t>(readUInt(target - std::min(target, childWidth), childWidth));
      elem = type - kVectorInt;
    } else if (type == kVectorBool) {
      n = static_cast<size_t>(readUInt(target - std::min(target, childWidth), childWidth));
      elem = 1;
    } else if (type >= kVectorInt2 && type <= kVectorFloat4) {
      n = static_cast<size_t>((type - kVectorInt2) / 3 + 2);
      elem = (type - kVectorInt2) % 3;
    } else {
      bad = true;
      return;
    }
    if (n > b_.size()) {
      bad = true;
      return;
    }
    for (size_t i = 0; i < n && !bad; ++i) {
      size_t p = target + i * childWidth;
      out.push_back(elem == 0   ? static_cast<double>(readInt(p, childWidth))
                    : elem == 1 ? static_cast<double>(readUInt(p, childWidth))
                                : readFloat(p, childWidth));
    }
  }

  std::string key(size_t pos) {
    std::string s;
    while (pos < b_.size() && b_[pos] != 0) s.push_back(static_cast<char>(b_[pos++]));
    if (pos >= b_.size()) bad = true;
    return s;
  }

 private:
  std::span<const uint8_t> b_;
};

}  // namespace

Result<FlexMap> parseFlexMap(std::span<const uint8_t> bytes) {
  if (bytes.size() < 3) return Result<FlexMap>::failure("custom options are missing");
  Reader r(bytes);
  const size_t rootWidth = bytes.back();
  const uint8_t rootType = bytes[bytes.size() - 2];
  if (rootWidth == 0 || rootWidth > 8 || bytes.size() < 2 + rootWidth || (rootType >> 2) != kMap)
    return Result<FlexMap>::failure("custom options are not a map");
  const size_t rootPos = bytes.size() - 2 - rootWidth;
  const size_t map = r.indirect(rootPos, rootWidth);
  const size_t width = size_t{1} << (rootType & 3);
  if (r.bad || map < 3 * width) return Result<FlexMap>::failure("custom options are damaged");
  const size_t n = static_cast<size_t>(r.readUInt(map - width, width));
  const size_t keysPos = map - 3 * width;
  const size_t keys = r.indirect(keysPos, width);
  const size_t keyWidth = static_cast<size_t>(r.readUInt(map - 2 * width, width));
  if (r.bad || n > bytes.size() || keyWidth == 0 || keyWidth > 8)
    return Result<FlexMap>::failure("custom options are damaged");
  FlexMap out;
  for (size_t i = 0; i < n && !r.bad; ++i) {
    std::string k = r.key(r.indirect(keys + i * keyWidth, keyWidth));
    uint8_t t = static_cast<uint8_t>(r.readUInt(map + n * width + i, 1));
    std::vector<double> v;
    r.numbers(map + i * width, width, t, v, 0);
    out[k] = std::move(v);
  }
  if (r.bad) return Result<FlexMap>::failure("custom options are damaged");
  return out;
}

}  // namespace talvex::vision::tflite
