#include "tests/v4l2_emulator/frame_source.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/syscall.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace talvex::v4l2emu {
namespace {

// Reads a whole file with raw system calls: the emulator's own open() must not see it.
std::vector<uint8_t> readAll(const std::string& path) {
  std::vector<uint8_t> bytes;
  const int fd =
      static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd < 0) return bytes;
  uint8_t buf[1 << 16];
  for (;;) {
    const long n = ::syscall(SYS_read, fd, buf, sizeof buf);
    if (n <= 0) break;
    bytes.insert(bytes.end(), buf, buf + n);
  }
  ::syscall(SYS_close, fd);
  return bytes;
}

class Frames : public FrameSource {
 public:
  explicit Frames(std::vector<std::vector<uint8_t>> frames) : frames_(std::move(frames)) {}
  size_t fill(int64_t n, uint8_t* dst, size_t capacity) override {
    const auto& f = frames_[static_cast<size_t>(n % static_cast<int64_t>(frames_.size()))];
    const size_t len = std::min(f.size(), capacity);
    std::memcpy(dst, f.data(), len);
    return len;
  }

 private:
  std::vector<std::vector<uint8_t>> frames_;
};

// Splits concatenated JPEGs at their end-of-image markers. Inside entropy-coded data a 0xFF is
// always followed by 0x00 or a restart marker, so 0xFF 0xD9 only ends an image.
std::vector<std::vector<uint8_t>> splitJpegs(const std::vector<uint8_t>& all) {
  std::vector<std::vector<uint8_t>> out;
  size_t start = std::string::npos;
  for (size_t i = 0; i + 1 < all.size(); ++i) {
    if (all[i] != 0xFF) continue;
    if (all[i + 1] == 0xD8 && start == std::string::npos) start = i;
    if (all[i + 1] == 0xD9 && start != std::string::npos) {
      out.emplace_back(all.begin() + static_cast<long>(start),
                       all.begin() + static_cast<long>(i + 2));
      start = std::string::npos;
    }
  }
  return out;
}

uint8_t ramp(uint32_t x, uint32_t width, uint8_t lo, uint8_t hi) {
  return static_cast<uint8_t>(lo + (hi - lo) * x / std::max<uint32_t>(width, 1) / 2);
}

class RawPattern : public FrameSource {
 public:
  RawPattern(uint32_t fourcc, uint32_t w, uint32_t h) : fourcc_(fourcc), w_(w), h_(h) {}
  size_t fill(int64_t n, uint8_t* dst, size_t capacity) override {
    const size_t bytes = rawFrameBytes(fourcc_, w_, h_);
    if (bytes > capacity) return 0;
    const uint32_t bar = static_cast<uint32_t>((n * 16) % w_);
    auto luma = [&](uint32_t x) -> uint8_t {
      return (x >= bar && x < bar + w_ / 16) ? 235 : ramp(x, w_, 40, 160);
    };
    if (fourcc_ == V4L2_PIX_FMT_YUYV) {
      for (uint32_t y = 0; y < h_; ++y) {
        uint8_t* row = dst + size_t(y) * w_ * 2;
        for (uint32_t x = 0; x < w_; x += 2) {
          row[2 * x] = luma(x);
          row[2 * x + 1] = 128;
          row[2 * x + 2] = luma(x + 1);
          row[2 * x + 3] = 128;
        }
      }
    } else {
      for (uint32_t y = 0; y < h_; ++y)
        for (uint32_t x = 0; x < w_; ++x) dst[size_t(y) * w_ + x] = luma(x);
      std::memset(dst + size_t(w_) * h_, 128, size_t(w_) * (h_ / 2));
    }
    return bytes;
  }

 private:
  uint32_t fourcc_, w_, h_;
};

// JPEG frames are made once (a few dozen) and cycled: encoding every frame would cost the
// machine that runs the tests more than the program under test.
std::unique_ptr<FrameSource> jpegPattern(uint32_t w, uint32_t h) {
  tjhandle tj = tjInitCompress();
  if (!tj) return nullptr;
  constexpr int kFrames = 30;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint8_t> y(size_t(w) * h), u(size_t(w / 2) * h, 128), v(size_t(w / 2) * h, 128);
  for (int n = 0; n < kFrames; ++n) {
    const uint32_t bar = static_cast<uint32_t>((n * 16) % w);
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t l = (x >= bar && x < bar + w / 16) ? 255 : ramp(x, w, 30, 180);
      for (uint32_t r = 0; r < h; ++r) y[size_t(r) * w + x] = l;
    }
    const unsigned char* planes[3] = {y.data(), u.data(), v.data()};
    const int strides[3] = {int(w), int(w / 2), int(w / 2)};
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompressFromYUVPlanes(tj, planes, int(w), strides, int(h), TJSAMP_422, &jpeg, &size, 80,
                                0) == 0)
      frames.emplace_back(jpeg, jpeg + size);
    tjFree(jpeg);
  }
  tjDestroy(tj);
  if (frames.empty()) return nullptr;
  return std::make_unique<Frames>(std::move(frames));
}

}  // namespace

// Frames as a quirky or broken camera sends them. The damage is done to each frame the inner
// source writes.
class DamagedSource : public FrameSource {
 public:
  DamagedSource(std::unique_ptr<FrameSource> inner, JpegDamage damage)
      : inner_(std::move(inner)), damage_(damage) {}
  size_t fill(int64_t n, uint8_t* dst, size_t capacity) override {
    size_t used = inner_->fill(n, dst, capacity);
    switch (damage_) {
      case JpegDamage::StrayBytes: {
        // Bytes between the entropy-coded data and the end marker, as many webcams send.
        static const uint8_t kStray[] = {0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78};
        if (used < 2 || used + sizeof kStray > capacity) return used;
        std::memmove(dst + used - 2 + sizeof kStray, dst + used - 2, 2);
        std::memcpy(dst + used - 2, kStray, sizeof kStray);
        return used + sizeof kStray;
      }
      case JpegDamage::CutShort:
        return used * 2 / 3;
      case JpegDamage::None:
      case JpegDamage::WrongSize:
        return used;
    }
    return used;
  }

 private:
  std::unique_ptr<FrameSource> inner_;
  JpegDamage damage_;
};

std::unique_ptr<FrameSource> damagedSource(std::unique_ptr<FrameSource> inner, JpegDamage damage) {
  if (!inner || damage == JpegDamage::None || damage == JpegDamage::WrongSize) return inner;
  return std::make_unique<DamagedSource>(std::move(inner), damage);
}

size_t rawFrameBytes(uint32_t fourcc, uint32_t width, uint32_t height) {
  if (fourcc == V4L2_PIX_FMT_YUYV) return size_t(width) * height * 2;
  if (fourcc == V4L2_PIX_FMT_NV12) return size_t(width) * height * 3 / 2;
  return 0;
}

std::unique_ptr<FrameSource> clipSource(const std::string& path, uint32_t fourcc, uint32_t width,
                                        uint32_t height) {
  const std::vector<uint8_t> all = readAll(path);
  std::vector<std::vector<uint8_t>> frames;
  if (fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG) {
    frames = splitJpegs(all);
  } else if (const size_t n = rawFrameBytes(fourcc, width, height); n > 0) {
    for (size_t at = 0; at + n <= all.size(); at += n)
      frames.emplace_back(all.begin() + static_cast<long>(at),
                          all.begin() + static_cast<long>(at + n));
  }
  if (frames.empty()) return nullptr;
  return std::make_unique<Frames>(std::move(frames));
}

std::unique_ptr<FrameSource> patternSource(uint32_t fourcc, uint32_t width, uint32_t height) {
  if (fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG)
    return jpegPattern(width, height);
  if (rawFrameBytes(fourcc, width, height) > 0)
    return std::make_unique<RawPattern>(fourcc, width, height);
  return nullptr;
}

}  // namespace talvex::v4l2emu
