#include "platform/media/camera/pipewire_format.h"

#include <linux/videodev2.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>

#include <algorithm>

namespace talvex::media {
namespace {

constexpr int kWantedWidth = 1280;
constexpr int kWantedHeight = 720;
// A range that reaches further (PipeWire's test source offers up to 2^31 a side) says nothing
// about a real picture.
constexpr int64_t kLargestArea = int64_t(7680) * 4320;

uint32_t fourccOfRaw(uint32_t spaFormat) {
  switch (spaFormat) {
    case SPA_VIDEO_FORMAT_YUY2:
      return V4L2_PIX_FMT_YUYV;
    case SPA_VIDEO_FORMAT_UYVY:
      return V4L2_PIX_FMT_UYVY;
    case SPA_VIDEO_FORMAT_NV12:
      return V4L2_PIX_FMT_NV12;
    case SPA_VIDEO_FORMAT_I420:
      return V4L2_PIX_FMT_YUV420;
    default:
      return 0;
  }
}

uint32_t rawOfFourcc(uint32_t fourcc) {
  switch (fourcc) {
    case V4L2_PIX_FMT_YUYV:
      return SPA_VIDEO_FORMAT_YUY2;
    case V4L2_PIX_FMT_UYVY:
      return SPA_VIDEO_FORMAT_UYVY;
    case V4L2_PIX_FMT_NV12:
      return SPA_VIDEO_FORMAT_NV12;
    case V4L2_PIX_FMT_YUV420:
      return SPA_VIDEO_FORMAT_I420;
    default:
      return SPA_VIDEO_FORMAT_UNKNOWN;
  }
}

// The values a property offers, whether a single value or a choice: for an enumeration its
// alternatives, for a range {default, min, max}.
template <typename T>
struct Offered {
  std::vector<T> values;
  bool range = false;
};

template <typename T>
Offered<T> offered(const spa_pod* value, uint32_t podType) {
  Offered<T> out;
  if (!value) return out;
  uint32_t count = 0, choice = SPA_CHOICE_None;
  const spa_pod* v = spa_pod_get_values(value, &count, &choice);
  if (!v || v->type != podType || v->size < sizeof(T)) return out;
  const T* items = static_cast<const T*>(SPA_POD_BODY_CONST(v));
  switch (choice) {
    case SPA_CHOICE_None:
      if (count >= 1) out.values.push_back(items[0]);
      break;
    case SPA_CHOICE_Enum:
      // The first value is the default, which is among the alternatives anyway.
      for (uint32_t i = 1; i < count; ++i) out.values.push_back(items[i]);
      if (count == 1) out.values.push_back(items[0]);
      break;
    case SPA_CHOICE_Range:
    case SPA_CHOICE_Step:
      if (count >= 3) out.values.assign(items, items + 3), out.range = true;
      break;
    default:
      break;
  }
  return out;
}

std::vector<spa_rectangle> sizesOf(const spa_pod* value) {
  const Offered<spa_rectangle> o = offered<spa_rectangle>(value, SPA_TYPE_Rectangle);
  if (!o.range) return o.values;
  const spa_rectangle lo = o.values[1], hi = o.values[2];
  std::vector<spa_rectangle> sizes;
  if (lo.width <= kWantedWidth && kWantedWidth <= hi.width && lo.height <= kWantedHeight &&
      kWantedHeight <= hi.height)
    sizes.push_back({kWantedWidth, kWantedHeight});
  if (int64_t(hi.width) * hi.height <= kLargestArea) sizes.push_back(hi);
  return sizes;
}

// Frame rates as frames per second.
std::vector<spa_fraction> ratesOf(const spa_pod* value) {
  if (!value) return {{30, 1}};
  const Offered<spa_fraction> o = offered<spa_fraction>(value, SPA_TYPE_Fraction);
  if (!o.range) return o.values;
  const spa_fraction lo = o.values[1], hi = o.values[2];
  const auto atLeast30 = [](spa_fraction f) { return uint64_t(f.num) >= uint64_t(f.denom) * 30; };
  const auto atMost30 = [](spa_fraction f) { return uint64_t(f.num) <= uint64_t(f.denom) * 30; };
  if (atMost30(lo) && atLeast30(hi)) return {{30, 1}};
  return {hi};
}

}  // namespace

std::vector<CaptureMode> pipewireCaptureModes(const spa_pod* param) {
  std::vector<CaptureMode> modes;
  if (!param || !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Format)) return modes;
  const auto* object = reinterpret_cast<const spa_pod_object*>(param);
  const spa_pod *mediaType = nullptr, *subtype = nullptr, *format = nullptr, *size = nullptr,
                *rate = nullptr;
  const spa_pod_prop* prop;
  SPA_POD_OBJECT_FOREACH(object, prop) {
    switch (prop->key) {
      case SPA_FORMAT_mediaType:
        mediaType = &prop->value;
        break;
      case SPA_FORMAT_mediaSubtype:
        subtype = &prop->value;
        break;
      case SPA_FORMAT_VIDEO_format:
        format = &prop->value;
        break;
      case SPA_FORMAT_VIDEO_size:
        size = &prop->value;
        break;
      case SPA_FORMAT_VIDEO_framerate:
        rate = &prop->value;
        break;
      default:
        break;
    }
  }
  const auto types = offered<uint32_t>(mediaType, SPA_TYPE_Id).values;
  if (std::find(types.begin(), types.end(), uint32_t(SPA_MEDIA_TYPE_video)) == types.end())
    return modes;
  std::vector<uint32_t> fourccs;
  for (uint32_t sub : offered<uint32_t>(subtype, SPA_TYPE_Id).values) {
    if (sub == SPA_MEDIA_SUBTYPE_mjpg) fourccs.push_back(V4L2_PIX_FMT_MJPEG);
    if (sub != SPA_MEDIA_SUBTYPE_raw) continue;
    for (uint32_t f : offered<uint32_t>(format, SPA_TYPE_Id).values)
      if (uint32_t fourcc = fourccOfRaw(f)) fourccs.push_back(fourcc);
  }
  const std::vector<spa_rectangle> sizes = sizesOf(size);
  const std::vector<spa_fraction> rates = ratesOf(rate);
  for (uint32_t fourcc : fourccs)
    for (const spa_rectangle& s : sizes)
      for (const spa_fraction& r : rates)
        if (s.width > 0 && s.height > 0 && r.num > 0 && r.denom > 0)
          modes.push_back({fourcc, int(s.width), int(s.height), r.denom, r.num});
  return modes;
}

const spa_pod* buildPipewireFormat(spa_pod_builder* b, const CaptureMode& mode) {
  const spa_rectangle size{uint32_t(mode.width), uint32_t(mode.height)};
  const spa_fraction rate{mode.intervalDen, mode.intervalNum};
  if (isJpegFormat(mode.fourcc))
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format, SPA_POD_Id(rawOfFourcc(mode.fourcc)), SPA_FORMAT_VIDEO_size,
      SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
}

std::optional<CaptureLayout> pipewireLayout(const spa_pod* format) {
  uint32_t mediaType = 0, subtype = 0;
  if (!format || spa_format_parse(format, &mediaType, &subtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_video)
    return std::nullopt;
  CaptureLayout layout;
  if (subtype == SPA_MEDIA_SUBTYPE_mjpg) {
    spa_video_info_mjpg info{};
    if (spa_format_video_mjpg_parse(format, &info) < 0) return std::nullopt;
    layout.format = CaptureFormat::Mjpeg;
    layout.width = int(info.size.width);
    layout.height = int(info.size.height);
    layout.fullRange = true;
    if (info.framerate.denom) layout.fps = double(info.framerate.num) / info.framerate.denom;
  } else if (subtype == SPA_MEDIA_SUBTYPE_raw) {
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(format, &info) < 0) return std::nullopt;
    const uint32_t fourcc = fourccOfRaw(info.format);
    if (!fourcc) return std::nullopt;
    layout.format = captureFormatOf(fourcc);
    layout.width = int(info.size.width);
    layout.height = int(info.size.height);
    // Cameras give limited range unless they say otherwise, as on V4L2.
    layout.fullRange = info.color_range == SPA_VIDEO_COLOR_RANGE_0_255;
    if (info.framerate.denom) layout.fps = double(info.framerate.num) / info.framerate.denom;
  } else {
    return std::nullopt;
  }
  if (layout.width <= 0 || layout.height <= 0) return std::nullopt;
  return layout;
}

}  // namespace talvex::media
