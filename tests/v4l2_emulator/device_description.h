// What an emulated V4L2 capture device offers and how it misbehaves, read from a small text
// description. Test code only.
//
// One directive a line; `#` starts a comment. A `device` line starts a device, the lines after
// it describe that device:
//
//   device /dev/video0          the node's path
//   card USB Camera             the name QUERYCAP gives
//   metadata                    a node without video capture (as a UVC camera's second node)
//   format MJPG 1280x720 30 15  a pixel format (fourcc), a frame size and its frame rates
//   open-error EACCES           open() of the node fails so (EACCES, EPERM, EBUSY, ENOENT...)
//   streamon-error EBUSY        VIDIOC_STREAMON fails so
//   jitter 0.4                  frame intervals vary at random by up to +-40% of the nominal
//   stall-at 40 3000            after 40 frames of a stream, no frame for 3000 ms
//   unplug-at 90 2000           after 90 frames the device is gone; back 2000 ms later (or never
//                               when the second number is left out)
//   gone-while /tmp/x/unplugged the device is absent while this file exists
//   stall-while /tmp/x/stalled  no frames are produced while this file exists
//   clip MJPG 1280x720 f.mjpeg  frames of that format and size come from a file (looped):
//                               concatenated JPEGs for MJPG, raw frames for YUYV and NV12;
//                               without one the device draws a moving pattern
//   log /tmp/x/frames.log       every dequeued frame as "sequence monotonic_us wall_us",
//                               wall_us being the wall-clock moment of its capture
//   multiplanar                 a V4L2_CAP_VIDEO_CAPTURE_MPLANE node (one-plane formats)
//   first-frame-after 3000      the first frame of a stream comes 3000 ms after STREAMON
//   jpeg-damage stray-bytes     every JPEG is spoilt: stray-bytes before its end marker (a
//                               decoder warns and decodes), cut-short (the last third missing)
//                               or wrong-size (pictures of half the negotiated size)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/v4l2_emulator/frame_source.h"

namespace talvex::v4l2emu {

struct FrameSize {
  uint32_t width = 0, height = 0;
  // Frame intervals as fractions of a second, in the order given (fastest first, usually).
  std::vector<std::pair<uint32_t, uint32_t>> intervals;
};

struct PixelFormat {
  uint32_t fourcc = 0;
  std::vector<FrameSize> sizes;
};

struct Clip {
  uint32_t fourcc = 0, width = 0, height = 0;
  std::string path;
};

struct DeviceDescription {
  std::string path;
  std::string card = "Emulated Camera";
  bool capture = true;
  std::vector<PixelFormat> formats;
  int openError = 0;
  int streamonError = 0;
  double jitter = 0;
  std::optional<std::pair<int64_t, int64_t>> stall;   // after frames, for ms
  std::optional<std::pair<int64_t, int64_t>> unplug;  // after frames, back after ms (<0: never)
  std::string goneWhile, stallWhile, log;
  std::vector<Clip> clips;
  bool multiplanar = false;
  int64_t firstFrameAfterMs = 0;
  JpegDamage jpegDamage = JpegDamage::None;
};

struct Description {
  std::vector<DeviceDescription> devices;
};

// Parses a description; nullopt and `error` set on a line it does not understand.
std::optional<Description> parseDescription(const std::string& text, std::string* error);

// "MJPG" -> V4L2 fourcc code.
uint32_t fourccOf(const std::string& name);

}  // namespace talvex::v4l2emu
