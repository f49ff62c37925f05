// The inside of a Picture. Internal to platform/draw.
#pragma once

#include "platform/draw/cairo_handles.h"
#include "platform/draw/picture.h"

namespace talvex::draw {

// An ARGB32 image surface: native-endian 32-bit pixels, premultiplied alpha, which is the byte
// order libyuv calls ARGB on little-endian machines.
struct Picture::Impl {
  SurfacePtr surface;
};

inline cairo_surface_t* surfaceOf(const Picture::Impl& impl) { return impl.surface.get(); }

}  // namespace talvex::draw
