// Owning handles for Cairo objects. Internal to platform/draw.
#pragma once

#include <cairo.h>

#include <memory>

namespace talvex::draw {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

}  // namespace talvex::draw
