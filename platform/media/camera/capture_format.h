// Which of a V4L2 device's ways of streaming to ask for. Internal to platform/media.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace talvex::media {

// One way a device can stream: a pixel format at a frame size and a frame interval. PipeWire's
// formats are named by their V4L2 codes too (capture_format_pipewire.h).
struct CaptureMode {
  uint32_t fourcc = 0;  // V4L2 pixel format code
  int width = 0, height = 0;
  uint32_t intervalNum = 1, intervalDen = 30;  // seconds per frame, as the driver gives it

  double fps() const { return intervalNum ? double(intervalDen) / intervalNum : 0; }
  bool operator==(const CaptureMode&) const = default;
};

// The mode a user would pick, written once. In order:
//  1. a rate of at least 24 frames per second beats a lower one (and below 24, the faster);
//  2. then the size: a 16:9 size of at least 1280x720 first (it fills the frame without bars),
//     then any other size of at least 1280x720, then the smaller ones; at or above 1280x720 the
//     smallest wins, below it the largest;
//  3. then the format that is cheaper to turn into a frame: NV12, I420, YUYV or UYVY, then JPEG;
//  4. then the rate nearest 30 frames per second (a 60 fps mode only costs more).
// nullopt when no mode has a format the capture path reads.
std::optional<CaptureMode> chooseCaptureMode(const std::vector<CaptureMode>& modes);

// Whether `a` ranks above `b` in the order above. Both must have known formats.
bool betterCaptureMode(const CaptureMode& a, const CaptureMode& b);

// Every mode the open device `fd` enumerates for `bufferType` (VIDIOC_ENUM_FMT, FRAMESIZES,
// FRAMEINTERVALS); empty when the device cannot be asked. A stepwise or continuous range
// contributes 1280x720 when it holds it, and its largest size.
std::vector<CaptureMode> queryCaptureModes(int fd, uint32_t bufferType);

// Whether the capture path can read frames of this V4L2 pixel format (MJPG and JPEG are the
// same to it).
bool isKnownCaptureFormat(uint32_t fourcc);
bool isJpegFormat(uint32_t fourcc);

// How the frames of a known format are laid out, as the converter (capture_frame.h) reads them.
enum class CaptureFormat { Mjpeg, Yuyv, Uyvy, Nv12, I420 };
CaptureFormat captureFormatOf(uint32_t fourcc);

}  // namespace talvex::media
