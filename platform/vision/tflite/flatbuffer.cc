#include "platform/vision/tflite/flatbuffer.h"

namespace talvex::vision::tflite {
namespace {

// Follows an unsigned offset stored at `pos` (relative to `pos`, as FlatBuffers stores them).
std::optional<size_t> followOffset(const FlatFile* file, size_t pos) {
  auto off = file->read<uint32_t>(pos);
  if (!off) return std::nullopt;
  size_t target = pos + *off;
  if (*off == 0 || target >= file->bytes().size()) {
    file->markMalformed();
    return std::nullopt;
  }
  return target;
}

// A vector starts with its element count; the elements must fit in the file.
std::optional<std::pair<size_t, uint32_t>> vectorAt(const FlatFile* file, size_t pos,
                                                    size_t elementSize) {
  auto n = file->read<uint32_t>(pos);
  if (!n) return std::nullopt;
  size_t start = pos + 4;
  size_t avail = file->bytes().size() - std::min(start, file->bytes().size());
  if (elementSize != 0 && size_t{*n} > avail / elementSize) {
    file->markMalformed();
    return std::nullopt;
  }
  return std::make_pair(start, *n);
}

}  // namespace

std::optional<FlatTable> FlatFile::root() const {
  auto pos = followOffset(this, 0);
  if (!pos) {
    markMalformed();
    return std::nullopt;
  }
  return FlatTable::at(this, *pos);
}

std::optional<FlatTable> FlatTable::at(const FlatFile* file, size_t pos) {
  auto soff = file->read<int32_t>(pos);
  if (!soff) return std::nullopt;
  int64_t vt = static_cast<int64_t>(pos) - *soff;
  if (vt < 0 || static_cast<uint64_t>(vt) >= file->bytes().size()) {
    file->markMalformed();
    return std::nullopt;
  }
  auto vsize = file->read<uint16_t>(static_cast<size_t>(vt));
  auto tsize = file->read<uint16_t>(static_cast<size_t>(vt) + 2);
  if (!vsize || !tsize || *vsize < 4 || (*vsize & 1) != 0 ||
      static_cast<size_t>(vt) + *vsize > file->bytes().size() ||
      pos + *tsize > file->bytes().size()) {
    file->markMalformed();
    return std::nullopt;
  }
  return FlatTable(file, pos, static_cast<size_t>(vt), *vsize);
}

std::optional<size_t> FlatTable::fieldPos(int field) const {
  size_t slot = 4 + 2 * static_cast<size_t>(field);
  if (field < 0 || slot + 2 > vtableSize_) return std::nullopt;
  auto rel = file_->read<uint16_t>(vtable_ + slot);
  if (!rel || *rel == 0) return std::nullopt;
  return pos_ + *rel;
}

std::optional<size_t> FlatTable::follow(int field) const {
  auto p = fieldPos(field);
  if (!p) return std::nullopt;
  return followOffset(file_, *p);
}

std::optional<FlatTable> FlatTable::table(int field) const {
  auto t = follow(field);
  if (!t) return std::nullopt;
  return FlatTable::at(file_, *t);
}

FlatVector FlatTable::vector(int field, size_t elementSize) const {
  auto t = follow(field);
  if (!t) return {};
  auto v = vectorAt(file_, *t, elementSize);
  if (!v) return {};
  return FlatVector(file_, v->first, v->second);
}

std::string_view FlatTable::string(int field) const {
  FlatVector v = vector(field, 1);
  auto b = v.bytes();
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

std::optional<FlatTable> FlatVector::table(uint32_t i) const {
  if (!file_ || i >= size_) return std::nullopt;
  auto t = followOffset(file_, start_ + size_t{i} * 4);
  if (!t) return std::nullopt;
  return FlatTable::at(file_, *t);
}

std::string_view FlatVector::string(uint32_t i) const {
  if (!file_ || i >= size_) return {};
  auto t = followOffset(file_, start_ + size_t{i} * 4);
  if (!t) return {};
  auto v = vectorAt(file_, *t, 1);
  if (!v) return {};
  return {reinterpret_cast<const char*>(file_->bytes().data() + v->first), v->second};
}

}  // namespace talvex::vision::tflite
