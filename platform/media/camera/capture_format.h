// Which of a V4L2 device's pixel formats to ask for. Internal to platform/media.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvex::media {

// One pixel format of a device at the wanted frame size, with the frame rates it offers there.
struct FormatOffer {
  uint32_t fourcc = 0;        // V4L2 pixel format code
  bool hasSize = false;       // the device offers the wanted size in this format
  std::vector<double> rates;  // frames per second offered at that size (empty: unknown)
};

// The V4L2 pixel format to ask for: among the formats that offer the wanted size, those
// reaching `fps` come first; within each group MJPEG (cheap over USB at 720p), then NV12, then
// YUYV. nullopt when no known format offers the size (the device's own choice is then tried).
std::optional<uint32_t> chooseCaptureFormat(const std::vector<FormatOffer>& offers, double fps);

// What the open device `fd` offers at width x height (V4L2 enumeration ioctls); empty when the
// device cannot be asked.
std::vector<FormatOffer> queryFormatOffers(int fd, int width, int height);

// Whether the capture path can read frames of this V4L2 pixel format.
bool isKnownCaptureFormat(uint32_t fourcc);

}  // namespace talvex::media
