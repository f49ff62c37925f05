// A user-space V4L2 capture device for machines without a camera (and kernels without
// v4l2loopback or CUSE): preloaded into a program (LD_PRELOAD), it makes the device nodes named
// by the description in $TALVEX_V4L2_EMULATOR (a file) appear to stat/access/opendir and
// answers open/close/ioctl/mmap/poll/select on them as a UVC camera's driver would: format
// enumeration and negotiation, frame-rate parameters, memory-mapped streaming with buffers
// filled at the device's own pace and stamped with the monotonic clock, and the errors of a
// busy, refused or unplugged device. Test code, never installed.
//
// Everything else goes to the C library untouched. The interposed calls share one state, the
// emulated devices of this process, behind one mutex: preloaded libraries have no other place
// to keep it, and the program may call in from any thread.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tests/v4l2_emulator/device_description.h"
#include "tests/v4l2_emulator/frame_source.h"

namespace talvex::v4l2emu {
namespace {

template <class F>
F next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

int64_t nowNs(clockid_t clock = CLOCK_MONOTONIC) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool fileExists(const std::string& path) {
  return !path.empty() && ::syscall(SYS_faccessat, AT_FDCWD, path.c_str(), F_OK) == 0;
}

struct Buffer {
  int memfd = -1;
  uint8_t* data = nullptr;
  size_t length = 0;
  enum State { Dequeued, Queued, Done } state = Dequeued;
  uint32_t bytesused = 0, sequence = 0;
  int64_t timestampNs = 0;
};

struct Device {
  DeviceDescription desc;
  int minor = 0;
  // A node that goes away and comes back is a new device: files opened before are dead.
  int generation = 0;
  bool gone = false;
  int64_t unpluggedUntilNs = -1;  // -1: not unplugged by the frame count; INT64_MAX: for good
  // The negotiated format, kept by the device across opens as a driver does.
  uint32_t fourcc = 0, width = 0, height = 0;
  std::pair<uint32_t, uint32_t> interval{1, 30};
  // Streaming.
  int owner = -1;
  bool streaming = false;
  std::vector<Buffer> buffers;
  std::deque<size_t> queued, done;
  int64_t nextDueNs = 0, produced = 0;
  uint32_t sequence = 0;
  std::mt19937 random{7};
  std::unique_ptr<FrameSource> source;
};

struct OpenFile {
  size_t device = 0;
  int generation = 0;
  bool nonblocking = false;
};

struct DirState {
  size_t nextExtra = 0;
  dirent64 entry{};
};

bool isJpeg(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG; }

uint32_t frameBytes(uint32_t fourcc, uint32_t w, uint32_t h) {
  const size_t raw = rawFrameBytes(fourcc, w, h);
  return static_cast<uint32_t>(raw ? raw : size_t(w) * h * 2);
}

class Emulator {
 public:
  static Emulator& get() {
    static Emulator* e = new Emulator();  // never destroyed: calls may come during exit
    return *e;
  }

  std::mutex mu;
  std::vector<Device> devices;
  std::map<int, OpenFile> files;
  // For the emulated files a program watches with epoll: a timer descriptor, watched in the
  // file's place, that is readable exactly when poll() would say the file is (see rearm()).
  std::map<int, int> watches;
  std::map<DIR*, DirState> dirs;

  Device* deviceAt(const char* path) {
    if (!path) return nullptr;
    for (auto& d : devices)
      if (d.desc.path == path) return &d;
    return nullptr;
  }

  // Brings a device's presence up to date; a node that has gone kills its open files.
  bool present(Device& d) {
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

  // The open file behind `fd`, or null; `alive` tells whether its device is still there.
  OpenFile* file(int fd, bool* alive) {
    auto it = files.find(fd);
    if (it == files.end()) return nullptr;
    Device& d = devices[it->second.device];
    *alive = present(d) && d.generation == it->second.generation;
    return &it->second;
  }

  void releaseStream(Device& d) {
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

  // Produces the frames that are due by now: into the oldest queued buffer, or lost when
  // the program has none queued, as a driver drops them.
  void advance(Device& d) {
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

  int64_t nextInterval(Device& d) {
    const double nominal = 1e9 * d.interval.first / d.interval.second;
    double f = 1;
    if (d.desc.jitter > 0)
      f += std::uniform_real_distribution<double>(-d.desc.jitter, d.desc.jitter)(d.random);
    return static_cast<int64_t>(nominal * f);
  }

  // Readiness of an emulated file for poll, after advancing its device.
  short readiness(int fd, int64_t* wakeNs) {
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

  // Sets an epoll-watched file's timer to its readiness: expired when a frame waits (or the
  // file has failed), due when the next frame is, idle otherwise. Setting a timer clears its
  // expiry, so a frame dequeued stops the readiness it caused. A failed file is reported
  // every 10 ms, not at once: the program's loop would otherwise spin on it.
  void rearm(int fd) {
    const auto w = watches.find(fd);
    if (w == watches.end()) return;
    int64_t wake = INT64_MAX;
    const short r = readiness(fd, &wake);
    const int64_t now = nowNs();
    if (r & (POLLERR | POLLHUP)) wake = now + 10000000;
    if (r & POLLIN) wake = now;
    itimerspec due{};
    if (wake != INT64_MAX) {
      wake = std::max<int64_t>(wake, 1);
      due.it_value = {static_cast<time_t>(wake / 1000000000),
                      static_cast<long>(wake % 1000000000)};
    }
    ::timerfd_settime(w->second, TFD_TIMER_ABSTIME, &due, nullptr);
  }

  void logFrame(const Device& d, const Buffer& b) {
    if (d.desc.log.empty()) return;
    const int64_t mono = nowNs(), wall = nowNs(CLOCK_REALTIME);
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%u %lld %lld\n", b.sequence,
                                static_cast<long long>(b.timestampNs / 1000),
                                static_cast<long long>((wall - (mono - b.timestampNs)) / 1000));
    appendLog(d, line, n);
  }

  // What streams: "# stream MJPG 1280x720 1/30".
  void logStream(const Device& d) {
    if (d.desc.log.empty()) return;
    char line[128];
    const int n = std::snprintf(line, sizeof line, "# stream %.4s %ux%u %u/%u\n",
                                reinterpret_cast<const char*>(&d.fourcc), d.width, d.height,
                                d.interval.first, d.interval.second);
    appendLog(d, line, n);
  }

  void appendLog(const Device& d, const char* line, int n) {
    const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, d.desc.log.c_str(),
                                              O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (fd < 0) return;
    ::syscall(SYS_write, fd, line, n);
    ::syscall(SYS_close, fd);
  }

  int ioctl(int fd, unsigned long request, void* arg);

 private:
  Emulator() {
    const char* path = std::getenv("TALVEX_V4L2_EMULATOR");
    if (!path) return;
    std::string text;
    const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    char buf[4096];
    for (long n; fd >= 0 && (n = ::syscall(SYS_read, fd, buf, sizeof buf)) > 0;)
      text.append(buf, n);
    if (fd >= 0) ::syscall(SYS_close, fd);
    std::string error;
    auto d = parseDescription(text, &error);
    if (!d) {
      std::fprintf(stderr, "v4l2 emulator: %s: %s\n", path, error.c_str());
      ::_exit(99);
    }
    for (auto& dd : d->devices) {
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

  // What the driver makes of a requested format: an offered pixel format (else the first) at
  // the offered size nearest to the one asked for.
  void negotiate(const Device& d, v4l2_pix_format* p) {
    const PixelFormat* f = formatOf(d, p->pixelformat);
    if (!f) f = &d.desc.formats[0];
    const FrameSize* best = &f->sizes[0];
    auto distance = [&](const FrameSize& s) {
      return std::labs(long(s.width) - long(p->width)) +
             std::labs(long(s.height) - long(p->height));
    };
    for (const auto& s : f->sizes)
      if (distance(s) < distance(*best)) best = &s;
    fillFormat(f->fourcc, best->width, best->height, p);
  }

  static void fillFormat(uint32_t fourcc, uint32_t w, uint32_t h, v4l2_pix_format* p) {
    std::memset(p, 0, sizeof *p);
    p->pixelformat = fourcc;
    p->width = w;
    p->height = h;
    p->field = V4L2_FIELD_NONE;
    p->bytesperline = fourcc == V4L2_PIX_FMT_YUYV ? w * 2 : fourcc == V4L2_PIX_FMT_NV12 ? w : 0;
    p->sizeimage = frameBytes(fourcc, w, h);
    p->colorspace = isJpeg(fourcc) ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
  }

  // The format a program passed, the single- or the multi-planar way.
  static v4l2_pix_format takeFormat(const Device& d, const v4l2_format& fmt) {
    if (!d.desc.multiplanar) return fmt.fmt.pix;
    v4l2_pix_format p{};
    p.width = fmt.fmt.pix_mp.width;
    p.height = fmt.fmt.pix_mp.height;
    p.pixelformat = fmt.fmt.pix_mp.pixelformat;
    return p;
  }
  // A multi-planar node holds every format it offers in one plane.
  static void putFormat(const Device& d, const v4l2_pix_format& p, v4l2_format* fmt) {
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

  int deviceIoctl(int fd, OpenFile& f, unsigned long request, void* arg);
};

int fail(int e) {
  errno = e;
  return -1;
}

int Emulator::ioctl(int fd, unsigned long request, void* arg) {
  std::lock_guard lock(mu);
  bool alive = false;
  OpenFile* f = file(fd, &alive);
  if (!alive) {
    rearm(fd);
    return fail(ENODEV);
  }
  // The kernel reads the request as 32 bits: a caller that passes it through an int (PipeWire's
  // V4L2 plugin does) has it sign-extended on the way, and the driver still answers.
  const int r = deviceIoctl(fd, *f, static_cast<uint32_t>(request), arg);
  const int e = errno;
  rearm(fd);
  errno = e;
  return r;
}

int Emulator::deviceIoctl(int fd, OpenFile& f, unsigned long request, void* arg) {
  Device& d = devices[f.device];
  const bool capture = d.desc.capture && !d.desc.formats.empty();
  const uint32_t bufType =
      d.desc.multiplanar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
  auto captureType = [&](uint32_t type) { return capture && type == bufType; };
  switch (request) {
    case VIDIOC_QUERYCAP: {
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
          capture ? video | V4L2_CAP_STREAMING : V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
      c->capabilities = video | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto* e = static_cast<v4l2_fmtdesc*>(arg);
      if (!captureType(e->type) || e->index >= d.desc.formats.size()) return fail(EINVAL);
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
    case VIDIOC_ENUM_FRAMESIZES: {
      auto* s = static_cast<v4l2_frmsizeenum*>(arg);
      const PixelFormat* pf = formatOf(d, s->pixel_format);
      if (!capture || !pf || s->index >= pf->sizes.size()) return fail(EINVAL);
      s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
      s->discrete.width = pf->sizes[s->index].width;
      s->discrete.height = pf->sizes[s->index].height;
      return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
      auto* i = static_cast<v4l2_frmivalenum*>(arg);
      const FrameSize* fs = sizeOf(d, i->pixel_format, i->width, i->height);
      if (!capture || !fs || i->index >= fs->intervals.size()) return fail(EINVAL);
      i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
      i->discrete.numerator = fs->intervals[i->index].first;
      i->discrete.denominator = fs->intervals[i->index].second;
      return 0;
    }
    case VIDIOC_G_FMT: {
      auto* fmt = static_cast<v4l2_format*>(arg);
      if (!captureType(fmt->type)) return fail(EINVAL);
      v4l2_pix_format p{};
      fillFormat(d.fourcc, d.width, d.height, &p);
      putFormat(d, p, fmt);
      return 0;
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
      auto* fmt = static_cast<v4l2_format*>(arg);
      if (!captureType(fmt->type)) return fail(EINVAL);
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
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      auto* parm = static_cast<v4l2_streamparm*>(arg);
      if (!captureType(parm->type)) return fail(EINVAL);
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
    case VIDIOC_G_INPUT:
      *static_cast<int*>(arg) = 0;
      return capture ? 0 : fail(ENOTTY);
    case VIDIOC_S_INPUT:
      return *static_cast<int*>(arg) == 0 && capture ? 0 : fail(EINVAL);
    case VIDIOC_ENUMINPUT: {
      auto* in = static_cast<v4l2_input*>(arg);
      if (!capture || in->index != 0) return fail(EINVAL);
      std::memset(in, 0, sizeof *in);
      std::snprintf(reinterpret_cast<char*>(in->name), sizeof in->name, "Camera 1");
      in->type = V4L2_INPUT_TYPE_CAMERA;
      return 0;
    }
    case VIDIOC_G_PRIORITY:
      *static_cast<uint32_t*>(arg) = V4L2_PRIORITY_DEFAULT;
      return 0;
    case VIDIOC_S_PRIORITY:
      return 0;
    case VIDIOC_REQBUFS: {
      auto* r = static_cast<v4l2_requestbuffers*>(arg);
      if (!captureType(r->type)) return fail(EINVAL);
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
        // Not through mmap(): that is this library's own, and the lock is held.
        b.data = reinterpret_cast<uint8_t*>(
            ::syscall(SYS_mmap, nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, b.memfd, 0));
        d.buffers.push_back(b);
      }
      d.owner = fd;
      r->count = count;
      r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
      return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
      auto* b = static_cast<v4l2_buffer*>(arg);
      if (!captureType(b->type) || b->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
      v4l2_plane* planes = d.desc.multiplanar ? b->m.planes : nullptr;
      if (d.desc.multiplanar && (!planes || b->length < 1)) return fail(EINVAL);
      if (d.owner != fd) return fail(EBUSY);
      if (request == VIDIOC_DQBUF) {
        if (!d.streaming) return fail(EINVAL);
        for (;;) {
          advance(d);
          if (d.gone || d.generation != f.generation) return fail(ENODEV);
          if (!d.done.empty()) break;
          if (d.queued.empty()) return fail(EINVAL);
          if (f.nonblocking) return fail(EAGAIN);
          // A blocking read waits for its frame; the lock is let go meanwhile.
          const int64_t wait = std::max<int64_t>(d.nextDueNs - nowNs(), 1000000);
          const int gen = f.generation;
          mu.unlock();
          timespec ts{wait / 1000000000, wait % 1000000000};
          ::nanosleep(&ts, nullptr);
          mu.lock();
          if (!present(d) || d.generation != gen) return fail(ENODEV);
          if (!d.streaming) return fail(EINVAL);
        }
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
      b->type = bufType;
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
    case VIDIOC_STREAMON: {
      if (!captureType(*static_cast<uint32_t*>(arg))) return fail(EINVAL);
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
    case VIDIOC_STREAMOFF: {
      if (!captureType(*static_cast<uint32_t*>(arg))) return fail(EINVAL);
      if (d.owner != fd) return fail(EINVAL);
      d.streaming = false;
      d.queued.clear();
      d.done.clear();
      for (auto& b : d.buffers) b.state = Buffer::Dequeued;
      return 0;
    }
    case VIDIOC_EXPBUF: {
      // A buffer as a file another process can map, as vb2 drivers export it (PipeWire shares
      // a V4L2 camera's buffers with its readers so).
      auto* x = static_cast<v4l2_exportbuffer*>(arg);
      if (!captureType(x->type) || d.owner != fd || x->index >= d.buffers.size())
        return fail(EINVAL);
      const int copy =
          ::fcntl(d.buffers[x->index].memfd, (x->flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
      if (copy < 0) return -1;
      x->fd = copy;
      return 0;
    }
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

// An emulated node: a descriptor of its own (on /dev/null, so that every call the emulator
// does not answer behaves sanely) registered as a file of that device.
int openDevice(Device& d, size_t index, int flags) {
  if (d.desc.openError) return fail(d.desc.openError);
  static auto realOpen = next<int (*)(const char*, int, ...)>("open");
  const int fd = realOpen("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (fd < 0) return fd;
  Emulator::get().files[fd] = OpenFile{index, d.generation, (flags & O_NONBLOCK) != 0};
  return fd;
}

// Returns true when `path` is an emulated node and the call was answered (result in *r).
bool maybeOpen(const char* path, int flags, int* r) {
  Emulator& e = Emulator::get();
  std::lock_guard lock(e.mu);
  Device* d = e.deviceAt(path);
  if (!d) return false;
  *r = e.present(*d) ? openDevice(*d, static_cast<size_t>(d - e.devices.data()), flags)
                     : fail(ENOENT);
  return true;
}

void fillStat(const Device& d, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_mode = S_IFCHR | 0660;
  st->st_rdev = makedev(81, d.minor);
  st->st_nlink = 1;
  st->st_gid = 44;  // video
  st->st_blksize = 4096;
}

// stat-like answer for an emulated path: true when answered, *r the result.
bool maybeStat(const char* path, struct stat* st, int* r) {
  Emulator& e = Emulator::get();
  std::lock_guard lock(e.mu);
  Device* d = e.deviceAt(path);
  if (!d) return false;
  if (!e.present(*d)) {
    *r = fail(ENOENT);
  } else {
    fillStat(*d, st);
    *r = 0;
  }
  return true;
}

bool isEmulatedFd(int fd) {
  Emulator& e = Emulator::get();
  std::lock_guard lock(e.mu);
  return e.files.count(fd) > 0;
}

int pollEmulated(pollfd* fds, nfds_t n, int timeoutMs) {
  static auto realPoll = next<int (*)(pollfd*, nfds_t, int)>("poll");
  Emulator& e = Emulator::get();
  std::vector<bool> emulated(n);
  bool any = false;
  {
    std::lock_guard lock(e.mu);
    for (nfds_t i = 0; i < n; ++i) any |= emulated[i] = fds[i].fd >= 0 && e.files.count(fds[i].fd);
  }
  if (!any) return realPoll(fds, n, timeoutMs);
  const int64_t deadline = timeoutMs < 0 ? INT64_MAX : nowNs() + int64_t(timeoutMs) * 1000000;
  std::vector<pollfd> others(fds, fds + n);
  for (;;) {
    int64_t wake = deadline;
    int ready = 0;
    {
      std::lock_guard lock(e.mu);
      for (nfds_t i = 0; i < n; ++i) {
        if (!emulated[i]) continue;
        const short r = e.readiness(fds[i].fd, &wake);
        fds[i].revents = static_cast<short>(r & (fds[i].events | POLLERR | POLLHUP));
        if (fds[i].revents) ++ready;
      }
    }
    for (nfds_t i = 0; i < n; ++i) others[i].fd = emulated[i] ? -1 : fds[i].fd;
    const int64_t now = nowNs();
    const int waitMs =
        ready ? 0
        : wake == INT64_MAX
            ? -1
            : static_cast<int>(std::max<int64_t>(0, (wake - now + 999999) / 1000000));
    const int r = realPoll(others.data(), n, waitMs);
    if (r < 0) return r;
    for (nfds_t i = 0; i < n; ++i)
      if (!emulated[i]) {
        fds[i].revents = others[i].revents;
        if (others[i].revents) ++ready;
      }
    if (ready > 0 || nowNs() >= deadline) return ready;
  }
}

}  // namespace
}  // namespace talvex::v4l2emu

using namespace talvex::v4l2emu;

extern "C" {

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  int r;
  if (maybeOpen(path, flags, &r)) return r;
  static auto real = next<int (*)(const char*, int, ...)>("open");
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  int r;
  if (maybeOpen(path, flags, &r)) return r;
  static auto real = next<int (*)(const char*, int, ...)>("open64");
  return real(path, flags, mode);
}

int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open64(path, flags); }

int openat(int dirfd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  int r;
  if (path && path[0] == '/' && maybeOpen(path, flags, &r)) return r;
  static auto real = next<int (*)(int, const char*, int, ...)>("openat");
  return real(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  int r;
  if (path && path[0] == '/' && maybeOpen(path, flags, &r)) return r;
  static auto real = next<int (*)(int, const char*, int, ...)>("openat64");
  return real(dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char* path, int flags) { return openat64(dirfd, path, flags); }

int close(int fd) {
  {
    Emulator& e = Emulator::get();
    std::lock_guard lock(e.mu);
    auto it = e.files.find(fd);
    if (it != e.files.end()) {
      Device& d = e.devices[it->second.device];
      if (d.owner == fd) e.releaseStream(d);
      e.files.erase(it);
      if (const auto w = e.watches.find(fd); w != e.watches.end()) {
        ::syscall(SYS_close, w->second);
        e.watches.erase(w);
      }
    }
  }
  static auto real = next<int (*)(int)>("close");
  return real(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (isEmulatedFd(fd)) return Emulator::get().ioctl(fd, request, arg);
  static auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
  return real(fd, request, arg);
}

// An emulated file is a descriptor on /dev/null, which epoll refuses: its timer is watched
// instead, under the caller's event data.
int epoll_ctl(int epfd, int op, int fd, epoll_event* event) noexcept {
  static auto real = next<int (*)(int, int, int, epoll_event*)>("epoll_ctl");
  Emulator& e = Emulator::get();
  std::lock_guard lock(e.mu);
  if (!e.files.count(fd)) return real(epfd, op, fd, event);
  auto w = e.watches.find(fd);
  if (w == e.watches.end()) {
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (timer < 0) return -1;
    w = e.watches.emplace(fd, timer).first;
  }
  const int r = real(epfd, op, w->second, event);
  const int err = errno;
  e.rearm(fd);
  errno = err;
  return r;
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) noexcept {
  if (fd >= 0 && isEmulatedFd(fd)) {
    Emulator& e = Emulator::get();
    std::lock_guard lock(e.mu);
    bool alive = false;
    OpenFile* f = e.file(fd, &alive);
    if (!alive) {
      errno = ENODEV;
      return MAP_FAILED;
    }
    Device& d = e.devices[f->device];
    for (size_t i = 0; i < d.buffers.size(); ++i)
      if (off_t(i * d.buffers[i].length) == offset && length <= d.buffers[i].length)
        return reinterpret_cast<void*>(
            ::syscall(SYS_mmap, addr, length, prot, flags, d.buffers[i].memfd, 0));
    errno = EINVAL;
    return MAP_FAILED;
  }
  static auto real = next<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
  return real(addr, length, prot, flags, fd, offset);
}

void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) noexcept {
  return mmap(addr, length, prot, flags, fd, static_cast<off_t>(offset));
}

int poll(pollfd* fds, nfds_t n, int timeout) { return pollEmulated(fds, n, timeout); }
int __poll_chk(pollfd* fds, nfds_t n, int timeout, size_t) { return pollEmulated(fds, n, timeout); }

int select(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, timeval* tv) {
  bool any = false;
  for (int fd = 0; fd < nfds && !any; ++fd)
    if ((rd && FD_ISSET(fd, rd)) || (wr && FD_ISSET(fd, wr)) || (ex && FD_ISSET(fd, ex)))
      any = isEmulatedFd(fd);
  if (!any) {
    static auto real = next<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>("select");
    return real(nfds, rd, wr, ex, tv);
  }
  std::vector<pollfd> p;
  for (int fd = 0; fd < nfds; ++fd) {
    short ev = 0;
    if (rd && FD_ISSET(fd, rd)) ev |= POLLIN;
    if (wr && FD_ISSET(fd, wr)) ev |= POLLOUT;
    if (ex && FD_ISSET(fd, ex)) ev |= POLLPRI;
    if (ev) p.push_back({fd, ev, 0});
  }
  const int timeout = tv ? static_cast<int>(tv->tv_sec * 1000 + tv->tv_usec / 1000) : -1;
  const int r = pollEmulated(p.data(), p.size(), timeout);
  if (r < 0) return r;
  if (rd) FD_ZERO(rd);
  if (wr) FD_ZERO(wr);
  if (ex) FD_ZERO(ex);
  int count = 0;
  for (const auto& q : p) {
    // As the kernel maps poll bits to the three sets.
    if (rd && (q.revents & (POLLIN | POLLHUP | POLLERR)) && (q.events & POLLIN))
      FD_SET(q.fd, rd), ++count;
    if (wr && (q.revents & (POLLOUT | POLLERR)) && (q.events & POLLOUT)) FD_SET(q.fd, wr), ++count;
    if (ex && (q.revents & POLLPRI) && (q.events & POLLPRI)) FD_SET(q.fd, ex), ++count;
  }
  return count;
}

int stat(const char* path, struct stat* st) noexcept {
  int r;
  if (maybeStat(path, st, &r)) return r;
  static auto real = next<int (*)(const char*, struct stat*)>("stat");
  return real(path, st);
}

int stat64(const char* path, struct stat64* st) noexcept {
  return stat(path, reinterpret_cast<struct stat*>(st));
}

int lstat(const char* path, struct stat* st) noexcept {
  int r;
  if (maybeStat(path, st, &r)) return r;
  static auto real = next<int (*)(const char*, struct stat*)>("lstat");
  return real(path, st);
}

int lstat64(const char* path, struct stat64* st) noexcept {
  return lstat(path, reinterpret_cast<struct stat*>(st));
}

int fstatat(int dirfd, const char* path, struct stat* st, int flags) noexcept {
  int r;
  if (path && path[0] == '/' && maybeStat(path, st, &r)) return r;
  static auto real = next<int (*)(int, const char*, struct stat*, int)>("fstatat");
  return real(dirfd, path, st, flags);
}

int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) noexcept {
  return fstatat(dirfd, path, reinterpret_cast<struct stat*>(st), flags);
}

int fstat(int fd, struct stat* st) noexcept {
  {
    Emulator& e = Emulator::get();
    std::lock_guard lock(e.mu);
    auto it = e.files.find(fd);
    if (it != e.files.end()) {
      fillStat(e.devices[it->second.device], st);
      return 0;
    }
  }
  static auto real = next<int (*)(int, struct stat*)>("fstat");
  return real(fd, st);
}

int fstat64(int fd, struct stat64* st) noexcept {
  return fstat(fd, reinterpret_cast<struct stat*>(st));
}

int access(const char* path, int mode) noexcept {
  struct stat st;
  int r;
  if (maybeStat(path, &st, &r)) {
    if (r == 0 && (mode & (R_OK | W_OK))) {
      Emulator& e = Emulator::get();
      std::lock_guard lock(e.mu);
      const int err = e.deviceAt(path)->desc.openError;
      if (err == EACCES || err == EPERM) return fail(EACCES);
    }
    return r;
  }
  static auto real = next<int (*)(const char*, int)>("access");
  return real(path, mode);
}

int faccessat(int dirfd, const char* path, int mode, int flags) noexcept {
  if (path && path[0] == '/') {
    Emulator& e = Emulator::get();
    bool ours;
    {
      std::lock_guard lock(e.mu);
      ours = e.deviceAt(path) != nullptr;
    }
    if (ours) return access(path, mode);
  }
  static auto real = next<int (*)(int, const char*, int, int)>("faccessat");
  return real(dirfd, path, mode, flags);
}

// Tools find out what a node is from its sysfs uevent file (v4l2-ctl does): an emulated
// node's is made up in a memory file and opened through /proc, so that the stream has a real
// descriptor beneath it.
FILE* fopen(const char* path, const char* mode) {
  static auto real = next<FILE* (*)(const char*, const char*)>("fopen");
  unsigned major = 0, minor = 0;
  if (path && std::sscanf(path, "/sys/dev/char/%u:%u/uevent", &major, &minor) == 2 && major == 81) {
    Emulator& e = Emulator::get();
    std::string text;
    {
      std::lock_guard lock(e.mu);
      for (auto& d : e.devices)
        if (d.minor == int(minor) && e.present(d))
          text = "MAJOR=81\nMINOR=" + std::to_string(minor) + "\nDEVNAME=" + d.desc.path.substr(5) +
                 "\n";
    }
    if (text.empty()) {
      errno = ENOENT;
      return nullptr;
    }
    const int fd = static_cast<int>(::syscall(SYS_memfd_create, "uevent", MFD_CLOEXEC));
    if (fd < 0) return nullptr;
    ::syscall(SYS_write, fd, text.data(), text.size());
    FILE* f = real(("/proc/self/fd/" + std::to_string(fd)).c_str(), mode);
    ::syscall(SYS_close, fd);
    return f;
  }
  return real(path, mode);
}

FILE* fopen64(const char* path, const char* mode) { return fopen(path, mode); }

DIR* opendir(const char* name) {
  static auto real = next<DIR* (*)(const char*)>("opendir");
  DIR* dir = real(name);
  if (dir && name && (std::strcmp(name, "/dev") == 0 || std::strcmp(name, "/dev/") == 0)) {
    Emulator& e = Emulator::get();
    std::lock_guard lock(e.mu);
    e.dirs[dir] = DirState{};
  }
  return dir;
}

// std::filesystem opens directories with openat() and fdopendir().
DIR* fdopendir(int fd) {
  static auto real = next<DIR* (*)(int)>("fdopendir");
  static auto realFstat = next<int (*)(int, struct stat*)>("fstat");
  static auto realStat = next<int (*)(const char*, struct stat*)>("stat");
  struct stat mine {
  }, dev{};
  const bool isDev = realFstat(fd, &mine) == 0 && realStat("/dev", &dev) == 0 &&
                     mine.st_dev == dev.st_dev && mine.st_ino == dev.st_ino;
  DIR* dir = real(fd);
  if (dir && isDev) {
    Emulator& e = Emulator::get();
    std::lock_guard lock(e.mu);
    e.dirs[dir] = DirState{};
  }
  return dir;
}

// The real entries of /dev, then the emulated nodes that are present.
dirent64* readdir64(DIR* dir) {
  static auto real = next<dirent64* (*)(DIR*)>("readdir64");
  Emulator& e = Emulator::get();
  {
    std::lock_guard lock(e.mu);
    if (!e.dirs.count(dir)) return real(dir);
  }
  if (dirent64* d = real(dir)) return d;
  std::lock_guard lock(e.mu);
  DirState& s = e.dirs[dir];
  while (s.nextExtra < e.devices.size()) {
    Device& d = e.devices[s.nextExtra++];
    if (!e.present(d) || d.desc.path.rfind("/dev/", 0) != 0) continue;
    std::memset(&s.entry, 0, sizeof s.entry);
    s.entry.d_ino = 100000 + static_cast<ino64_t>(s.nextExtra);
    s.entry.d_type = DT_CHR;
    s.entry.d_reclen = sizeof s.entry;
    std::snprintf(s.entry.d_name, sizeof s.entry.d_name, "%s", d.desc.path.c_str() + 5);
    return &s.entry;
  }
  return nullptr;
}

dirent* readdir(DIR* dir) { return reinterpret_cast<dirent*>(readdir64(dir)); }

int closedir(DIR* dir) {
  {
    Emulator& e = Emulator::get();
    std::lock_guard lock(e.mu);
    e.dirs.erase(dir);
  }
  static auto real = next<int (*)(DIR*)>("closedir");
  return real(dir);
}

}  // extern "C"
