#include "platform/draw/picture.h"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/draw/picture_impl.h"
#include "platform/process/atomic_file.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "Cairo's ARGB32 is libyuv's ARGB only on little-endian machines");

namespace talvex::draw {
namespace {

Result<SurfacePtr> newSurface(int width, int height) {
  if (width <= 0 || height <= 0) return Result<SurfacePtr>::failure("empty picture");
  SurfacePtr s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS)
    return Result<SurfacePtr>::failure(cairo_status_to_string(cairo_surface_status(s.get())));
  return s;
}

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length) {
  auto* out = static_cast<std::vector<uint8_t>*>(closure);
  out->insert(out->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

Picture::Picture(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Picture::Picture(Picture&&) noexcept = default;
Picture& Picture::operator=(Picture&&) noexcept = default;
Picture::~Picture() = default;

Result<Picture> Picture::create(int width, int height) {
  auto s = newSurface(width, height);
  if (!s) return s.status();
  cairo_surface_flush(s->get());
  uint8_t* data = cairo_image_surface_get_data(s->get());
  const int stride = cairo_image_surface_get_stride(s->get());
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
    for (int x = 0; x < width; ++x) row[x] = 0xFF000000u;
  }
  cairo_surface_mark_dirty(s->get());
  auto impl = std::make_unique<Impl>();
  impl->surface = std::move(s).value();
  return Picture(std::move(impl));
}

Result<Picture> Picture::fromFrame(const PixelBuffer& frame) {
  if (frame.planeCount() != 2) return Result<Picture>::failure("not an NV12 frame");
  auto s = newSurface(frame.width(), frame.height());
  if (!s) return s.status();
  cairo_surface_flush(s->get());
  const PlaneView& y = frame.plane(0);
  const PlaneView& uv = frame.plane(1);
  // Full-range BT.601, as the frames are made; the alpha comes out opaque.
  if (libyuv::NV12ToARGBMatrix(y.base, y.bytesPerRow, uv.base, uv.bytesPerRow,
                               cairo_image_surface_get_data(s->get()),
                               cairo_image_surface_get_stride(s->get()), &libyuv::kYuvJPEGConstants,
                               frame.width(), frame.height()) != 0)
    return Result<Picture>::failure("cannot convert the frame");
  cairo_surface_mark_dirty(s->get());
  auto impl = std::make_unique<Impl>();
  impl->surface = std::move(s).value();
  return Picture(std::move(impl));
}

Result<Picture> Picture::createTransparent(int width, int height) {
  auto s = newSurface(width, height);  // Cairo clears new image surfaces
  if (!s) return s.status();
  auto impl = std::make_unique<Impl>();
  impl->surface = std::move(s).value();
  return Picture(std::move(impl));
}

int Picture::width() const { return cairo_image_surface_get_width(impl_->surface.get()); }
int Picture::height() const { return cairo_image_surface_get_height(impl_->surface.get()); }

Status Picture::toFrame(PixelBuffer& frame) const {
  const int w = width(), h = height();
  if (frame.planeCount() != 2 || frame.width() != w || frame.height() != h)
    return Status::failure("the frame does not match the picture");
  cairo_surface_t* s = impl_->surface.get();
  cairo_surface_flush(s);
  // libyuv writes planar chroma; NV12 interleaves it.
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::vector<uint8_t> u(static_cast<size_t>(cw) * static_cast<size_t>(ch)), v(u.size());
  const PlaneView& y = frame.plane(0);
  const PlaneView& uv = frame.plane(1);
  if (libyuv::ARGBToJ420(cairo_image_surface_get_data(s), cairo_image_surface_get_stride(s), y.base,
                         y.bytesPerRow, u.data(), cw, v.data(), cw, w, h) != 0)
    return Status::failure("cannot convert the picture");
  libyuv::MergeUVPlane(u.data(), cw, v.data(), cw, uv.base, uv.bytesPerRow, cw, ch);
  return Status::ok();
}

Status Picture::writePng(const std::string& path) const {
  std::vector<uint8_t> bytes;
  cairo_status_t st = cairo_surface_write_to_png_stream(impl_->surface.get(), appendBytes, &bytes);
  if (st != CAIRO_STATUS_SUCCESS) return Status::failure(cairo_status_to_string(st));
  return writeFileAtomically(path, bytes);
}

Rgba Picture::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width() || y >= height()) return {};
  cairo_surface_t* s = impl_->surface.get();
  cairo_surface_flush(s);
  uint32_t p;
  std::memcpy(&p,
              cairo_image_surface_get_data(s) +
                  static_cast<ptrdiff_t>(y) * cairo_image_surface_get_stride(s) + 4 * x,
              4);
  Rgba c;
  c.a = static_cast<uint8_t>(p >> 24);
  auto un = [&](uint32_t premultiplied) {
    if (c.a == 0) return uint8_t{0};
    return static_cast<uint8_t>(std::min<uint32_t>(255, (premultiplied * 255 + c.a / 2) / c.a));
  };
  c.r = un((p >> 16) & 0xFF);
  c.g = un((p >> 8) & 0xFF);
  c.b = un(p & 0xFF);
  return c;
}

}  // namespace talvex::draw
