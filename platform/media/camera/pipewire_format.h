// PipeWire's video format parameters in the capture path's terms: the modes a camera node
// offers, the format to ask it for, and the layout of the frames it then gives. Internal to
// platform/media; SPA's types are only named here, never defined.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/media/camera/capture_format.h"
#include "platform/media/camera/capture_frame.h"

struct spa_pod;
struct spa_pod_builder;

namespace talvex::media {

// Every mode one EnumFormat parameter offers that the capture path reads: raw YUY2, UYVY, NV12,
// I420 or MJPEG, named by their V4L2 codes. Choices are spread out as V4L2's lists are: every
// listed size and rate; from a range, 1280x720 and 30 fps when it holds them, its largest
// size (up to 8K) and its fastest rate. A parameter without a rate is taken as 30 fps.
std::vector<CaptureMode> pipewireCaptureModes(const spa_pod* enumFormat);

// The Format parameter that asks for exactly `mode`, built with `builder`; null when the
// builder's buffer is too small.
const spa_pod* buildPipewireFormat(spa_pod_builder* builder, const CaptureMode& mode);

// The layout of the frames a negotiated Format parameter describes (the row stride comes with
// each buffer); nullopt for a format the capture path does not read.
std::optional<CaptureLayout> pipewireLayout(const spa_pod* format);

}  // namespace talvex::media
