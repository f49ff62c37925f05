#include "tests/v4l2_emulator/device_model.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace talvex::v4l2emu {

// The model runs inside the C library's own calls, which the emulator replaces: it reaches the
// kernel through syscall() wherever it needs a file.
int64_t nowNs(bool wallClock) {
  timespec ts{};
  ::clock_gettime(wallClock ? CLOCK_REALTIME : CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

int fail(int e) {
  errno = e;
  return -1;
}

bool fileExists(const std::string& path) {
  return !path.empty() && ::syscall(SYS_faccessat, AT_FDCWD, path.c_str(), F_OK) == 0;
}

void appendLog(const Device& d, const char* line, int n) {
  const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, d.desc.log.c_str(),
                                            O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd < 0) return;
  ::syscall(SYS_write, fd, line, n);
  ::syscall(SYS_close, fd);
}

bool isJpeg(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG; }

uint32_t frameBytes(uint32_t fourcc, uint32_t w, uint32_t h) {
  const size_t raw = rawFrameBytes(fourcc, w, h);
  return static_cast<uint32_t>(raw ? raw : size_t(w) * h * 2);
}

bool captures(const Device& d) { return d.desc.capture && !d.desc.formats.empty(); }
uint32_t bufferType(const Device& d) {
  return d.desc.multiplanar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
}
// Whether a request for buffers of `type` is one this node answers.
bool capturesType(const Device& d, uint32_t type) { return captures(d) && type == bufferType(d); }

const PixelFormat* formatOf(const Device& d, uint32_t fourcc) {
  for (const auto& f : d.desc.formats)
    if (f.fourcc == fourcc) return &f;
  return nullptr;
}
const FrameSize* sizeOf(const Device& d, uint32_t fourcc, uint32_t w, uint32_t h) {
  if (const PixelFormat* f = formatOf(d, fourcc))
    for (const auto& s : f->sizes)
      if (s.width == w && s.height == h) return &s;
  return nullptr;
}

void fillFormat(uint32_t fourcc, uint32_t w, uint32_t h, v4l2_pix_format* p) {
  std::memset(p, 0, sizeof *p);
  p->pixelformat = fourcc;
  p->width = w;
  p->height = h;
  p->field = V4L2_FIELD_NONE;
  p->bytesperline = fourcc == V4L2_PIX_FMT_YUYV ? w * 2 : fourcc == V4L2_PIX_FMT_NV12 ? w : 0;
  p->sizeimage = frameBytes(fourcc, w, h);
  p->colorspace = isJpeg(fourcc) ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
}

// What the driver makes of a requested format: an offered pixel format (else the first) at
// the offered size nearest to the one asked for.
void negotiate(const Device& d, v4l2_pix_format* p) {
  const PixelFormat* f = formatOf(d, p->pixelformat);
  if (!f) f = &d.desc.formats[0];
  const FrameSize* best = &f->sizes[0];
  auto distance = [&](const FrameSize& s) {
    return std::labs(long(s.width) - long(p->width)) + std::labs(long(s.height) - long(p->height));
  };
  for (const auto& s : f->sizes)
    if (distance(s) < distance(*best)) best = &s;
  fillFormat(f->fourcc, best->width, best->height, p);
}

// The format a program passed, the single- or the multi-planar way.
v4l2_pix_format takeFormat(const Device& d, const v4l2_format& fmt) {
  if (!d.desc.multiplanar) return fmt.fmt.pix;
  v4l2_pix_format p{};
  p.width = fmt.fmt.pix_mp.width;
  p.height = fmt.fmt.pix_mp.height;
  p.pixelformat = fmt.fmt.pix_mp.pixelformat;
  return p;
}

// A multi-planar node holds every format it offers in one plane.
void putFormat(const Device& d, const v4l2_pix_format& p, v4l2_format* fmt) {
  if (!d.desc.multiplanar) {
    fmt->fmt.pix = p;
    return;
  }
  auto& mp = fmt->fmt.pix_mp;
  std::memset(&mp, 0, sizeof mp);
  mp.width = p.width;
  mp.height = p.height;
  mp.pixelformat = p.pixelformat;
  mp.field = p.field;
  mp.colorspace = p.colorspace;
  mp.num_planes = 1;
  mp.plane_fmt[0].bytesperline = p.bytesperline;
  mp.plane_fmt[0].sizeimage = p.sizeimage;
}

}  // namespace

DeviceModel::DeviceModel(const Description& description) {
  for (const auto& dd : description.devices) {
    Device dev;
    dev.desc = dd;
    const auto digits = dd.path.find_last_not_of("0123456789");
    dev.minor = std::atoi(dd.path.c_str() + digits + 1);
    if (!dd.formats.empty()) {
      dev.fourcc = dd.formats[0].fourcc;
      dev.width = dd.formats[0].sizes[0].width;
      dev.height = dd.formats[0].sizes[0].height;
      dev.interval = dd.formats[0].sizes[0].intervals[0];
    }
    devices.push_back(std::move(dev));
  }
}

Device* DeviceModel::deviceAt(const char* path) {
  if (!path) return nullptr;
  for (auto& d : devices)
    if (d.desc.path == path) return &d;
  return nullptr;
}

bool DeviceModel::present(Device& d) {
  const int64_t now = nowNs();
  if (d.unpluggedUntilNs >= 0 && now >= d.unpluggedUntilNs) d.unpluggedUntilNs = -1;
  const bool goneNow = d.unpluggedUntilNs >= 0 || fileExists(d.desc.goneWhile);
  if (goneNow && !d.gone) {
    ++d.generation;
    releaseStream(d);
  }
  d.gone = goneNow;
  return !goneNow;
}

OpenFile* DeviceModel::file(int fd, bool* alive) {
  auto it = files.find(fd);
  if (it == files.end()) return nullptr;
  Device& d = devices[it->second.device];
  *alive = present(d) && d.generation == it->second.generation;
  return &it->second;
}

void DeviceModel::releaseStream(Device& d) {
  d.streaming = false;
  d.owner = -1;
  for (auto& b : d.buffers) {
    if (b.data) ::munmap(b.data, b.length);
    if (b.memfd >= 0) ::syscall(SYS_close, b.memfd);
  }
  d.buffers.clear();
  d.queued.clear();
  d.done.clear();
  d.source.reset();
}

// Produces the frames that are due by now: into the oldest queued buffer, or lost when the
// program has none queued, as a driver drops them.
void DeviceModel::advance(Device& d) {
  if (!d.streaming) return;
  const int64_t now = nowNs();
  if (now - d.nextDueNs > 2000000000LL) d.nextDueNs = now;  // the process was stopped
  const bool stalled = fileExists(d.desc.stallWhile);
  while (d.streaming && d.nextDueNs <= now) {
    if (d.desc.unplug && d.produced == d.desc.unplug->first) {
      d.unpluggedUntilNs =
          d.desc.unplug->second < 0 ? INT64_MAX : now + d.desc.unplug->second * 1000000;
      present(d);
      return;
    }
    const int64_t due = d.nextDueNs;
    d.nextDueNs += nextInterval(d);
    if (stalled) continue;
    if (!d.queued.empty()) {
      Buffer& b = d.buffers[d.queued.front()];
      d.queued.pop_front();
      b.bytesused =
          d.source ? static_cast<uint32_t>(d.source->fill(d.produced, b.data, b.length)) : 0;
      b.sequence = d.sequence;
      b.timestampNs = due;
      b.state = Buffer::Done;
      d.done.push_back(static_cast<size_t>(&b - d.buffers.data()));
    }
    ++d.sequence;
    ++d.produced;
    if (d.desc.stall && d.produced == d.desc.stall->first)
      d.nextDueNs += d.desc.stall->second * 1000000;
  }
}

int64_t DeviceModel::nextInterval(Device& d) {
  const double nominal = 1e9 * d.interval.first / d.interval.second;
  double f = 1;
  if (d.desc.jitter > 0)
    f += std::uniform_real_distribution<double>(-d.desc.jitter, d.desc.jitter)(d.random);
  return static_cast<int64_t>(nominal * f);
}

short DeviceModel::readiness(int fd, int64_t* wakeNs) {
  bool alive = false;
  OpenFile* f = file(fd, &alive);
  if (!alive) return POLLERR | POLLHUP | POLLPRI;
  Device& d = devices[f->device];
  if (!d.desc.goneWhile.empty() || !d.desc.stallWhile.empty() || d.unpluggedUntilNs >= 0)
    *wakeNs = std::min(*wakeNs, nowNs() + 10000000);
  if (!d.streaming || d.owner != fd) return POLLERR;
  advance(d);
  if (!d.streaming) return POLLERR | POLLHUP | POLLPRI;
  if (!d.done.empty()) return POLLIN | POLLRDNORM;
  if (!d.queued.empty()) *wakeNs = std::min(*wakeNs, d.nextDueNs);
  return 0;
}

void DeviceModel::logFrame(const Device& d, const Buffer& b) {
  if (d.desc.log.empty()) return;
  const int64_t mono = nowNs(), wall = nowNs(/*wallClock=*/true);
  char line[128];
  const int n = std::snprintf(line, sizeof line, "%u %lld %lld\n", b.sequence,
                              static_cast<long long>(b.timestampNs / 1000),
                              static_cast<long long>((wall - (mono - b.timestampNs)) / 1000));
  appendLog(d, line, n);
}

// What streams: "# stream MJPG 1280x720 1/30".
void DeviceModel::logStream(const Device& d) {
  if (d.desc.log.empty()) return;
  char line[128];
  const int n = std::snprintf(line, sizeof line, "# stream %.4s %ux%u %u/%u\n",
                              reinterpret_cast<const char*>(&d.fourcc), d.width, d.height,
                              d.interval.first, d.interval.second);
  appendLog(d, line, n);
}

int DeviceModel::ioctl(int fd, OpenFile& f, unsigned long request, void* arg) {
  Device& d = devices[f.device];
  switch (request) {
    case VIDIOC_QUERYCAP:
      return queryCapabilities(d, arg);
    case VIDIOC_ENUM_FMT:
      return enumerateFormats(d, arg);
    case VIDIOC_ENUM_FRAMESIZES:
      return enumerateSizes(d, arg);
    case VIDIOC_ENUM_FRAMEINTERVALS:
      return enumerateIntervals(d, arg);
    case VIDIOC_G_FMT:
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT:
      return format(d, request, arg);
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
      return streamParameters(d, request, arg);
    case VIDIOC_G_INPUT:
    case VIDIOC_S_INPUT:
    case VIDIOC_ENUMINPUT:
      return input(d, request, arg);
    case VIDIOC_G_PRIORITY:
      *static_cast<uint32_t*>(arg) = V4L2_PRIORITY_DEFAULT;
      return 0;
    case VIDIOC_S_PRIORITY:
      return 0;
    case VIDIOC_REQBUFS:
      return requestBuffers(d, fd, arg);
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
      return buffer(d, fd, f, request, arg);
    case VIDIOC_STREAMON:
      return streamOn(d, fd, arg);
    case VIDIOC_STREAMOFF:
      return streamOff(d, fd, arg);
    case VIDIOC_EXPBUF:
      return exportBuffer(d, fd, arg);
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_QUERYMENU:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS:
    case VIDIOC_ENUMSTD:
      return fail(EINVAL);
    default:
      return fail(ENOTTY);
  }
}

int DeviceModel::queryCapabilities(const Device& d, void* arg) {
  auto* c = static_cast<v4l2_capability*>(arg);
  std::memset(c, 0, sizeof *c);
  std::snprintf(reinterpret_cast<char*>(c->driver), sizeof c->driver, "talvex-emul");
  std::snprintf(reinterpret_cast<char*>(c->card), sizeof c->card, "%s", d.desc.card.c_str());
  std::snprintf(reinterpret_cast<char*>(c->bus_info), sizeof c->bus_info, "usb-emulated-%d",
                d.minor);
  c->version = (6 << 16) | (1 << 8);  // 6.1.0
  const uint32_t video =
      d.desc.multiplanar ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE;
  c->device_caps =
      captures(d) ? video | V4L2_CAP_STREAMING : V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
  c->capabilities = video | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
  return 0;
}

int DeviceModel::enumerateFormats(const Device& d, void* arg) {
  auto* e = static_cast<v4l2_fmtdesc*>(arg);
  if (!capturesType(d, e->type) || e->index >= d.desc.formats.size()) return fail(EINVAL);
  const uint32_t index = e->index, type = e->type;
  std::memset(e, 0, sizeof *e);
  e->index = index;
  e->type = type;
  e->pixelformat = d.desc.formats[index].fourcc;
  const bool jpeg = isJpeg(e->pixelformat);
  e->flags = jpeg ? V4L2_FMT_FLAG_COMPRESSED : 0;
  std::snprintf(reinterpret_cast<char*>(e->description), sizeof e->description, "%s",
                jpeg                                  ? "Motion-JPEG"
                : e->pixelformat == V4L2_PIX_FMT_YUYV ? "YUYV 4:2:2"
                : e->pixelformat == V4L2_PIX_FMT_NV12 ? "Y/UV 4:2:0"
                                                      : "Other");
  return 0;
}

int DeviceModel::enumerateSizes(const Device& d, void* arg) {
  auto* s = static_cast<v4l2_frmsizeenum*>(arg);
  const PixelFormat* pf = formatOf(d, s->pixel_format);
  if (!captures(d) || !pf || s->index >= pf->sizes.size()) return fail(EINVAL);
  s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
  s->discrete.width = pf->sizes[s->index].width;
  s->discrete.height = pf->sizes[s->index].height;
  return 0;
}

int DeviceModel::enumerateIntervals(const Device& d, void* arg) {
  auto* i = static_cast<v4l2_frmivalenum*>(arg);
  const FrameSize* fs = sizeOf(d, i->pixel_format, i->width, i->height);
  if (!captures(d) || !fs || i->index >= fs->intervals.size()) return fail(EINVAL);
  i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
  i->discrete.numerator = fs->intervals[i->index].first;
  i->discrete.denominator = fs->intervals[i->index].second;
  return 0;
}

int DeviceModel::format(Device& d, unsigned long request, void* arg) {
  auto* fmt = static_cast<v4l2_format*>(arg);
  if (!capturesType(d, fmt->type)) return fail(EINVAL);
  if (request == VIDIOC_G_FMT) {
    v4l2_pix_format p{};
    fillFormat(d.fourcc, d.width, d.height, &p);
    putFormat(d, p, fmt);
    return 0;
  }
  v4l2_pix_format p = takeFormat(d, *fmt);
  negotiate(d, &p);
  putFormat(d, p, fmt);
  if (request == VIDIOC_TRY_FMT) return 0;
  if (!d.buffers.empty()) return fail(EBUSY);
  if (p.pixelformat != d.fourcc || p.width != d.width || p.height != d.height)
    d.interval = sizeOf(d, p.pixelformat, p.width, p.height)->intervals[0];
  d.fourcc = p.pixelformat;
  d.width = p.width;
  d.height = p.height;
  return 0;
}

int DeviceModel::streamParameters(Device& d, unsigned long request, void* arg) {
  auto* parm = static_cast<v4l2_streamparm*>(arg);
  if (!capturesType(d, parm->type)) return fail(EINVAL);
  auto& c = parm->parm.capture;
  if (request == VIDIOC_S_PARM && c.timeperframe.numerator && c.timeperframe.denominator) {
    if (d.streaming) return fail(EBUSY);
    // The offered interval nearest to the one asked for.
    const double want = double(c.timeperframe.numerator) / c.timeperframe.denominator;
    const FrameSize* fs = sizeOf(d, d.fourcc, d.width, d.height);
    auto best = fs->intervals[0];
    for (const auto& i : fs->intervals)
      if (std::abs(double(i.first) / i.second - want) <
          std::abs(double(best.first) / best.second - want))
        best = i;
    d.interval = best;
  }
  std::memset(&c, 0, sizeof c);
  c.capability = V4L2_CAP_TIMEPERFRAME;
  c.timeperframe.numerator = d.interval.first;
  c.timeperframe.denominator = d.interval.second;
  c.readbuffers = 0;
  return 0;
}

// One input, the camera.
int DeviceModel::input(const Device& d, unsigned long request, void* arg) {
  if (request == VIDIOC_G_INPUT) {
    *static_cast<int*>(arg) = 0;
    return captures(d) ? 0 : fail(ENOTTY);
  }
  if (request == VIDIOC_S_INPUT)
    return *static_cast<int*>(arg) == 0 && captures(d) ? 0 : fail(EINVAL);
  auto* in = static_cast<v4l2_input*>(arg);
  if (!captures(d) || in->index != 0) return fail(EINVAL);
  std::memset(in, 0, sizeof *in);
  std::snprintf(reinterpret_cast<char*>(in->name), sizeof in->name, "Camera 1");
  in->type = V4L2_INPUT_TYPE_CAMERA;
  return 0;
}

int DeviceModel::requestBuffers(Device& d, int fd, void* arg) {
  auto* r = static_cast<v4l2_requestbuffers*>(arg);
  if (!capturesType(d, r->type)) return fail(EINVAL);
  if (r->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
  if (d.owner >= 0 && d.owner != fd) return fail(EBUSY);
  releaseStream(d);
  if (r->count == 0) {
    r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    return 0;
  }
  const uint32_t count = std::clamp<uint32_t>(r->count, 2, 32);
  const long page = ::sysconf(_SC_PAGESIZE);
  const size_t length = (frameBytes(d.fourcc, d.width, d.height) + page - 1) / page * page;
  for (uint32_t i = 0; i < count; ++i) {
    Buffer b;
    b.memfd = static_cast<int>(::syscall(SYS_memfd_create, "v4l2-emulator", MFD_CLOEXEC));
    if (b.memfd < 0 || ::ftruncate(b.memfd, static_cast<off_t>(length)) < 0) {
      releaseStream(d);
      return fail(ENOMEM);
    }
    b.length = length;
    // Not through mmap(): that is the emulator's own, and the lock is held.
    b.data = reinterpret_cast<uint8_t*>(
        ::syscall(SYS_mmap, nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, b.memfd, 0));
    d.buffers.push_back(b);
  }
  d.owner = fd;
  r->count = count;
  r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
  return 0;
}

bool DeviceModel::awaitFrame(Device& d, OpenFile& f) {
  if (!d.streaming) return fail(EINVAL), false;
  for (;;) {
    advance(d);
    if (d.gone || d.generation != f.generation) return fail(ENODEV), false;
    if (!d.done.empty()) return true;
    if (d.queued.empty()) return fail(EINVAL), false;
    if (f.nonblocking) return fail(EAGAIN), false;
    // A blocking read waits for its frame; the lock is let go meanwhile.
    const int64_t wait = std::max<int64_t>(d.nextDueNs - nowNs(), 1000000);
    const int gen = f.generation;
    mu.unlock();
    timespec ts{wait / 1000000000, wait % 1000000000};
    ::nanosleep(&ts, nullptr);
    mu.lock();
    if (!present(d) || d.generation != gen) return fail(ENODEV), false;
    if (!d.streaming) return fail(EINVAL), false;
  }
}

int DeviceModel::buffer(Device& d, int fd, OpenFile& f, unsigned long request, void* arg) {
  auto* b = static_cast<v4l2_buffer*>(arg);
  if (!capturesType(d, b->type) || b->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
  v4l2_plane* planes = d.desc.multiplanar ? b->m.planes : nullptr;
  if (d.desc.multiplanar && (!planes || b->length < 1)) return fail(EINVAL);
  if (d.owner != fd) return fail(EBUSY);
  if (request == VIDIOC_DQBUF) {
    if (!awaitFrame(d, f)) return -1;
    b->index = static_cast<uint32_t>(d.done.front());
    d.done.pop_front();
  }
  if (b->index >= d.buffers.size()) return fail(EINVAL);
  Buffer& buf = d.buffers[b->index];
  if (request == VIDIOC_QBUF) {
    if (buf.state != Buffer::Dequeued) return fail(EINVAL);
    buf.state = Buffer::Queued;
    d.queued.push_back(b->index);
  } else if (request == VIDIOC_DQBUF) {
    buf.state = Buffer::Dequeued;
    logFrame(d, buf);
  }
  const uint32_t index = b->index;
  std::memset(b, 0, sizeof *b);
  b->index = index;
  b->type = bufferType(d);
  b->memory = V4L2_MEMORY_MMAP;
  const uint32_t offset = index * static_cast<uint32_t>(buf.length);
  if (planes) {
    std::memset(planes, 0, sizeof *planes);
    b->m.planes = planes;
    b->length = 1;
    planes->length = static_cast<uint32_t>(buf.length);
    planes->m.mem_offset = offset;
    if (request == VIDIOC_DQBUF) planes->bytesused = buf.bytesused;
  } else {
    b->length = static_cast<uint32_t>(buf.length);
    b->m.offset = offset;
  }
  b->field = V4L2_FIELD_NONE;
  b->flags =
      V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
  if (buf.state == Buffer::Queued) b->flags |= V4L2_BUF_FLAG_QUEUED;
  if (buf.state == Buffer::Done) b->flags |= V4L2_BUF_FLAG_DONE;
  if (request == VIDIOC_DQBUF) {
    b->bytesused = buf.bytesused;
    b->sequence = buf.sequence;
    b->timestamp.tv_sec = buf.timestampNs / 1000000000;
    b->timestamp.tv_usec = (buf.timestampNs % 1000000000) / 1000;
  }
  return 0;
}

int DeviceModel::streamOn(Device& d, int fd, void* arg) {
  if (!capturesType(d, *static_cast<uint32_t*>(arg))) return fail(EINVAL);
  if (d.owner != fd || d.buffers.empty()) return fail(EINVAL);
  if (d.desc.streamonError) return fail(d.desc.streamonError);
  if (d.streaming) return 0;
  d.source.reset();
  for (const auto& c : d.desc.clips)
    if (c.fourcc == d.fourcc && c.width == d.width && c.height == d.height)
      d.source = clipSource(c.path, d.fourcc, d.width, d.height);
  if (d.desc.jpegDamage == JpegDamage::WrongSize)
    d.source = patternSource(d.fourcc, d.width / 2, d.height / 2);
  if (!d.source) d.source = patternSource(d.fourcc, d.width, d.height);
  d.source = damagedSource(std::move(d.source), d.desc.jpegDamage);
  d.streaming = true;
  d.produced = 0;
  logStream(d);
  // The first frame takes a frame time to expose, as with a real sensor; some take seconds.
  d.nextDueNs = nowNs() + nextInterval(d) + d.desc.firstFrameAfterMs * 1000000;
  return 0;
}

int DeviceModel::streamOff(Device& d, int fd, void* arg) {
  if (!capturesType(d, *static_cast<uint32_t*>(arg))) return fail(EINVAL);
  if (d.owner != fd) return fail(EINVAL);
  d.streaming = false;
  d.queued.clear();
  d.done.clear();
  for (auto& b : d.buffers) b.state = Buffer::Dequeued;
  return 0;
}

// A buffer as a file another process can map, as vb2 drivers export it (PipeWire shares a
// V4L2 camera's buffers with its readers so).
int DeviceModel::exportBuffer(Device& d, int fd, void* arg) {
  auto* x = static_cast<v4l2_exportbuffer*>(arg);
  if (!capturesType(d, x->type) || d.owner != fd || x->index >= d.buffers.size())
    return fail(EINVAL);
  const int copy =
      ::fcntl(d.buffers[x->index].memfd, (x->flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
  if (copy < 0) return -1;
  x->fd = copy;
  return 0;
}

}  // namespace talvex::v4l2emu
