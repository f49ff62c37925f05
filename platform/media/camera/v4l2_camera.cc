// The camera of the shipped program: a V4L2 capture device read directly, through
// memory-mapped streaming buffers, without FFmpeg's device layer (which alone would load the
// X11, SDL and sound libraries into the program). Single- and multi-planar capture nodes are
// read alike; of a multi-planar one only formats held in one plane are used.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/media/camera/camera.h"
#include "platform/media/camera/camera_nodes.h"
#include "platform/media/camera/capture_format.h"
#include "platform/media/camera/capture_frame.h"
#include "platform/media/camera/capturing_camera.h"
#include "platform/media/camera/frame_liveness.h"
#include "platform/media/camera/frame_pacer.h"
#include "platform/media/camera/v4l2_camera.h"
#include "platform/media/camera/v4l2_ioctl.h"
#include "platform/media/live_format.h"
#include "platform/process/unique_fd.h"

namespace talvex::media {
namespace {

constexpr int kWidth = kLiveWidth;
constexpr int kHeight = kLiveHeight;
// Enough for the driver to keep filling while one frame is converted and one waits.
constexpr uint32_t kBuffers = 4;

std::string systemError(int e) { return std::strerror(e); }

int64_t monotonicMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct Mapping {
  void* base = MAP_FAILED;
  size_t length = 0;
};

// The memory-mapped buffers of a stream, unmapped with their owner.
struct Mappings {
  std::vector<Mapping> maps;
  Mappings() = default;
  Mappings(Mappings&&) = default;
  Mappings& operator=(Mappings&&) = delete;
  ~Mappings() {
    for (const Mapping& m : maps)
      if (m.base != MAP_FAILED) ::munmap(m.base, m.length);
  }
};

// A buffer as V4L2 passes it, the single- or the multi-planar way.
struct BufferSlot {
  v4l2_buffer buf{};
  v4l2_plane plane{};

  BufferSlot(uint32_t type, uint32_t index = 0) {
    buf.type = type;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = index;
    if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
      buf.m.planes = &plane;
      buf.length = 1;
    }
  }
  bool multiplanar() const { return buf.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE; }
  size_t length() const { return multiplanar() ? plane.length : buf.length; }
  uint32_t offset() const { return multiplanar() ? plane.m.mem_offset : buf.m.offset; }
  // The picture's bytes within the buffer: [begin, end).
  size_t begin() const { return multiplanar() ? plane.data_offset : 0; }
  size_t end() const { return multiplanar() ? plane.bytesused : buf.bytesused; }
};

// Lifecycle: opened streaming by openDevice(); start() spawns the capture thread; stop() ends
// it (woken through an event descriptor), stops streaming and closes the device. Threading:
// the capture thread alone touches the device between start() and stop(); the frame queue
// only sees finished CameraFrames.
class V4l2Camera : public CapturingCamera {
 public:
  V4l2Camera(UniqueFd fd, uint32_t type, Mappings buffers, CaptureLayout layout)
      : fd_(std::move(fd)),
        wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        type_(type),
        buffers_(std::move(buffers)),
        layout_(layout),
        pacer_(layout.fps, kLiveFps),
        liveness_(monotonicMicros()) {}
  ~V4l2Camera() override {
    stop();
    int type = static_cast<int>(type_);
    xioctl(fd_.get(), VIDIOC_STREAMOFF, &type);
  }

  void stop() override {
    const uint64_t one = 1;
    if (wake_.valid()) (void)!::write(wake_.get(), &one, sizeof one);
    joinCapture();
  }

 private:
  void captureLoop() override {
    while (!stopping()) {
      pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      const int r = ::poll(fds, 2, 250);
      if (stopping()) return;
      if (r < 0 && errno != EINTR) return captureEnded(CameraLoss::Gone);
      if (r > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
        return captureEnded(CameraLoss::Gone);
      if (r > 0 && (fds[0].revents & POLLIN)) {
        // A source that always has the next frame ready must not keep a stop waiting.
        while (!stopping()) {
          BufferSlot slot(type_);
          if (xioctl(fd_.get(), VIDIOC_DQBUF, &slot.buf) < 0) {
            if (errno == EAGAIN) break;
            return captureEnded(CameraLoss::Gone);
          }
          handleBuffer(slot);
          if (xioctl(fd_.get(), VIDIOC_QBUF, &slot.buf) < 0) return captureEnded(CameraLoss::Gone);
        }
      }
      if (auto lost = liveness_.verdict(monotonicMicros())) return captureEnded(*lost);
    }
  }

  void handleBuffer(const BufferSlot& slot) {
    const int64_t now = monotonicMicros();
    liveness_.sawFrame(now);
    const v4l2_buffer& buf = slot.buf;
    // Drivers stamp frames with the monotonic clock; one that says otherwise gets the moment
    // it was dequeued, on the same clock.
    const bool monotonic =
        (buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    const int64_t micros =
        monotonic ? int64_t(buf.timestamp.tv_sec) * 1000000 + buf.timestamp.tv_usec : now;
    // A faster camera's extra frames are passed over on purpose, before they cost anything.
    if (!pacer_.keep(micros)) return liveness_.tried(now, true);
    // A frame that would be dropped anyway is not worth decoding.
    if (!queueFree()) return liveness_.tried(now, true);
    if ((buf.flags & V4L2_BUF_FLAG_ERROR) || buf.index >= buffers_.maps.size()) {
      countDropped();
      return liveness_.tried(now, false);
    }
    const MediaTime pts = MediaTime::make(micros, 1000000);
    if (!pictureWanted() && !liveness_.wantsTry(now)) return deliver(CameraFrame{{}, pts});
    const Mapping& m = buffers_.maps[buf.index];
    const size_t end = std::min(slot.end(), m.length);
    const size_t begin = std::min(slot.begin(), end);
    Result<PixelBuffer> image = converter_.convert(
        layout_, static_cast<const uint8_t*>(m.base) + begin, end - begin, kWidth, kHeight);
    liveness_.tried(now, bool(image));
    if (!image) return countDropped();
    deliver(CameraFrame{std::move(image.value()), pts});
  }

  UniqueFd fd_;
  UniqueFd wake_;
  uint32_t type_;
  Mappings buffers_;
  CaptureLayout layout_;
  CaptureConverter converter_;  // capture thread only
  FramePacer pacer_;            // capture thread only
  FrameLiveness liveness_;      // capture thread only
};

// Asks for `mode`'s format and size; on success `layout` holds what the driver settled on,
// which may differ.
Status setFormat(int fd, uint32_t type, const CaptureMode& mode, CaptureLayout* layout) {
  v4l2_format fmt{};
  fmt.type = type;
  uint32_t fourcc = 0, width = 0, height = 0, bytesPerLine = 0;
  bool fullRange = false;
  if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
    auto& p = fmt.fmt.pix_mp;
    p.width = static_cast<uint32_t>(mode.width);
    p.height = static_cast<uint32_t>(mode.height);
    p.pixelformat = mode.fourcc;
    p.field = V4L2_FIELD_ANY;
    p.num_planes = 1;
    if (xioctl(fd, VIDIOC_S_FMT, &fmt) < 0) return Status::failure(systemError(errno));
    if (p.num_planes != 1) return Status::failure("the camera's format needs several planes");
    fourcc = p.pixelformat, width = p.width, height = p.height;
    bytesPerLine = p.plane_fmt[0].bytesperline;
    fullRange =
        p.quantization == V4L2_QUANTIZATION_FULL_RANGE || p.colorspace == V4L2_COLORSPACE_JPEG;
  } else {
    auto& p = fmt.fmt.pix;
    p.width = static_cast<uint32_t>(mode.width);
    p.height = static_cast<uint32_t>(mode.height);
    p.pixelformat = mode.fourcc;
    p.field = V4L2_FIELD_ANY;
    if (xioctl(fd, VIDIOC_S_FMT, &fmt) < 0) return Status::failure(systemError(errno));
    fourcc = p.pixelformat, width = p.width, height = p.height;
    bytesPerLine = p.bytesperline;
    fullRange =
        p.quantization == V4L2_QUANTIZATION_FULL_RANGE || p.colorspace == V4L2_COLORSPACE_JPEG;
  }
  if (!isKnownCaptureFormat(fourcc) || width == 0 || height == 0)
    return Status::failure("the camera offers no usable pixel format");
  layout->format = captureFormatOf(fourcc);
  layout->width = static_cast<int>(width);
  layout->height = static_cast<int>(height);
  layout->bytesPerLine = static_cast<int>(bytesPerLine);
  layout->fullRange = fullRange;
  return Status::ok();
}

// The mode's frame rate where the driver lets it be set; it keeps the nearest it has, which is
// the rate returned (0 when it does not say).
double setFrameRate(int fd, uint32_t type, const CaptureMode& mode) {
  v4l2_streamparm parm{};
  parm.type = type;
  if (xioctl(fd, VIDIOC_G_PARM, &parm) < 0) return 0;
  if (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) {
    parm.parm.capture.timeperframe = {mode.intervalNum, mode.intervalDen};
    if (xioctl(fd, VIDIOC_S_PARM, &parm) < 0 && xioctl(fd, VIDIOC_G_PARM, &parm) < 0) return 0;
  }
  const v4l2_fract& t = parm.parm.capture.timeperframe;
  return t.numerator ? double(t.denominator) / t.numerator : 0;
}

Result<Mappings> mapBuffers(int fd, uint32_t type) {
  using R = Result<Mappings>;
  v4l2_requestbuffers req{};
  req.count = kBuffers;
  req.type = type;
  req.memory = V4L2_MEMORY_MMAP;
  if (xioctl(fd, VIDIOC_REQBUFS, &req) < 0) return R::failure(systemError(errno));
  if (req.count < 2) return R::failure("the camera gives too few capture buffers");
  Mappings maps;
  for (uint32_t i = 0; i < req.count; ++i) {
    BufferSlot slot(type, i);
    Mapping m;
    if (xioctl(fd, VIDIOC_QUERYBUF, &slot.buf) == 0) {
      m.length = slot.length();
      m.base = ::mmap(nullptr, m.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, slot.offset());
    }
    if (m.base == MAP_FAILED || xioctl(fd, VIDIOC_QBUF, &slot.buf) < 0) {
      const int e = errno;
      if (m.base != MAP_FAILED) ::munmap(m.base, m.length);
      return R::failure(systemError(e));
    }
    maps.maps.push_back(m);
  }
  return maps;
}

Result<std::unique_ptr<Camera>> openDevice(const CameraNode& node) {
  using R = Result<std::unique_ptr<Camera>>;
  if (node.openError) return R::failure(systemError(node.openError));
  UniqueFd fd(::open(node.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return R::failure(systemError(errno));
  const uint32_t type =
      node.multiplanar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
  CaptureLayout layout;
  if (Status s = setFormat(fd.get(), type, *node.mode, &layout); !s) return R::failure(s.message());
  layout.fps = setFrameRate(fd.get(), type, *node.mode);
  auto maps = mapBuffers(fd.get(), type);
  if (!maps) return R::failure(maps.message());
  int streamType = static_cast<int>(type);
  // Streaming starts here, so that a camera another program holds is found out now.
  if (xioctl(fd.get(), VIDIOC_STREAMON, &streamType) < 0) return R::failure(systemError(errno));
  return std::unique_ptr<Camera>(
      std::make_unique<V4l2Camera>(std::move(fd), type, std::move(maps.value()), layout));
}

// Tries the cameras in order and takes the first that streams: a camera another program holds
// (or that we may not use) does not keep us from a free one. When none streams, the first
// camera's failure is the answer.
class V4l2Source : public CameraSource {
 public:
  CameraPermission permission() override { return v4l2CameraPermission(); }
  bool requestAccess() override { return requestV4l2CameraAccess(); }
  Result<std::unique_ptr<Camera>> open() override {
    std::optional<Result<std::unique_ptr<Camera>>> first;
    for (const CameraNode& node : cameraNodes()) {
      auto camera = openDevice(node);
      if (camera) return camera;
      if (!first) first = std::move(camera);
    }
    if (!first) return Result<std::unique_ptr<Camera>>::failure("no-camera");
    return std::move(*first);
  }
};

}  // namespace

std::unique_ptr<CameraSource> v4l2CameraSource() { return std::make_unique<V4l2Source>(); }

}  // namespace talvex::media
