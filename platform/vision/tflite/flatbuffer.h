// A bounds-checked view of a FlatBuffers binary. Model files come from outside the program, so
// every offset is checked against the buffer before it is followed: a damaged file yields
// absent fields and empty vectors (and sets a sticky error flag), never a read out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace talvex::vision::tflite {

class FlatTable;

// The bytes of a whole FlatBuffers file, with a flag that records whether any lookup met a
// malformed offset. Borrowed: the bytes must outlive every view made from it.
class FlatFile {
 public:
  explicit FlatFile(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  // The root table, or nullopt when the file is too small to hold one.
  std::optional<FlatTable> root() const;
  bool malformed() const { return malformed_; }
  std::span<const uint8_t> bytes() const { return bytes_; }

  // Reads a little-endian scalar at `pos`, or nullopt (and marks the file) when out of range.
  template <class T>
  std::optional<T> read(size_t pos) const {
    if (pos > bytes_.size() || bytes_.size() - pos < sizeof(T)) {
      malformed_ = true;
      return std::nullopt;
    }
    T v;
    std::memcpy(&v, bytes_.data() + pos, sizeof(T));
    return v;
  }
  void markMalformed() const { malformed_ = true; }

 private:
  std::span<const uint8_t> bytes_;
  mutable bool malformed_ = false;
};

// A vector of scalars or of offsets inside the file.
class FlatVector {
 public:
  FlatVector() = default;
  FlatVector(const FlatFile* file, size_t start, uint32_t size)
      : file_(file), start_(start), size_(size) {}
  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  template <class T>
  T scalar(uint32_t i, T fallback = T{}) const {
    if (!file_ || i >= size_) return fallback;
    return file_->read<T>(start_ + size_t{i} * sizeof(T)).value_or(fallback);
  }
  std::optional<FlatTable> table(uint32_t i) const;
  std::string_view string(uint32_t i) const;
  // The raw element bytes of a vector of bytes.
  std::span<const uint8_t> bytes() const {
    if (!file_) return {};
    return file_->bytes().subspan(start_, size_);
  }

 private:
  const FlatFile* file_ = nullptr;
  size_t start_ = 0;
  uint32_t size_ = 0;
};

class FlatTable {
 public:
  FlatTable(const FlatFile* file, size_t pos, size_t vtable, uint16_t vtableSize)
      : file_(file), pos_(pos), vtable_(vtable), vtableSize_(vtableSize) {}
  // Builds the table view at `pos`, checking its vtable.
  static std::optional<FlatTable> at(const FlatFile* file, size_t pos);

  bool has(int field) const { return fieldPos(field).has_value(); }
  template <class T>
  T scalar(int field, T fallback = T{}) const {
    auto p = fieldPos(field);
    if (!p) return fallback;
    return file_->read<T>(*p).value_or(fallback);
  }
  std::optional<FlatTable> table(int field) const;
  FlatVector vector(int field, size_t elementSize) const;
  std::string_view string(int field) const;

 private:
  std::optional<size_t> fieldPos(int field) const;
  std::optional<size_t> follow(int field) const;
  const FlatFile* file_;
  size_t pos_;
  size_t vtable_;
  uint16_t vtableSize_;
};

}  // namespace talvex::vision::tflite
