// The pictures an emulated device streams: frames of a clip file, or a drawn moving pattern.
// Test code only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvex::v4l2emu {

// Lifecycle: made when streaming starts, for one format and size. One thread at a time.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Writes frame `n` (counted from 0, looping as the source likes) into `dst` of `capacity`
  // bytes and returns the bytes used.
  virtual size_t fill(int64_t n, uint8_t* dst, size_t capacity) = 0;
};

// Concatenated JPEGs (MJPG) or raw frames of frameBytes each (YUYV, NV12), looped. Null when
// the file cannot be read or holds no frame.
std::unique_ptr<FrameSource> clipSource(const std::string& path, uint32_t fourcc, uint32_t width,
                                        uint32_t height);

// A bright bar moving over a grey ramp, one step per frame: limited-range YUYV or NV12 as a
// UVC camera gives them, or 4:2:2 baseline JPEGs (full range) for MJPG.
std::unique_ptr<FrameSource> patternSource(uint32_t fourcc, uint32_t width, uint32_t height);

// How a device spoils the JPEGs it sends. WrongSize is done by the device (its pictures are
// not the negotiated size); the others by damagedSource().
enum class JpegDamage { None, StrayBytes, CutShort, WrongSize };

// `inner`'s frames with `damage` done to each.
std::unique_ptr<FrameSource> damagedSource(std::unique_ptr<FrameSource> inner, JpegDamage damage);

// Bytes of one frame of a raw format (0 for compressed ones).
size_t rawFrameBytes(uint32_t fourcc, uint32_t width, uint32_t height);

}  // namespace talvex::v4l2emu
