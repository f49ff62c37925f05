// The camera of the shipped program: a V4L2 capture device read directly, through
// memory-mapped streaming buffers, without FFmpeg's device layer (which alone would load the
// X11, SDL and sound libraries into the program).
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/media/camera/camera.h"
#include "platform/media/camera/capture_format.h"
#include "platform/media/camera/capture_frame.h"

namespace talvex::media {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;
// Enough for the driver to keep filling while one frame is converted and one waits.
constexpr uint32_t kBuffers = 4;

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

std::string systemError(int e) { return std::strerror(e); }

int64_t monotonicMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A descriptor closed with its owner.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

struct Mapping {
  void* base = MAP_FAILED;
  size_t length = 0;
};

// Lifecycle: opened streaming by openDevice(); start() spawns the capture thread; stop() ends
// it (woken through an event descriptor), stops streaming and closes the device. Threading:
// the capture thread alone touches the device between start() and stop(); the frame queue
// only sees finished CameraFrames.
class V4l2Camera : public Camera {
 public:
  V4l2Camera(int fd, std::vector<Mapping> buffers, CaptureLayout layout)
      : fd_(fd),
        wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        buffers_(std::move(buffers)),
        layout_(layout) {}
  ~V4l2Camera() override {
    stop();
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    xioctl(fd_.fd, VIDIOC_STREAMOFF, &type);
    for (const Mapping& m : buffers_)
      if (m.base != MAP_FAILED) ::munmap(m.base, m.length);
  }

  void start(SerialQueue& queue, FrameHandler handler, Work lost) override {
    if (capture_) return;
    queue_ = &queue;
    handler_ = std::make_shared<const FrameHandler>(std::move(handler));
    lost_ = std::move(lost);
    capture_ = std::make_unique<SerialQueue>("lumipose.camera");
    capture_->async([this] { captureLoop(); });
  }

  void stop() override {
    stopping_ = true;
    const uint64_t one = 1;
    if (wake_.fd >= 0) (void)!::write(wake_.fd, &one, sizeof one);
    capture_.reset();  // joins the capture thread
  }

  CameraStats stats() const override {
    return CameraStats{produced_.load(), delivered_.load(), dropped_.load()};
  }

 private:
  void captureLoop() {
    int64_t lastFrame = monotonicMicros();
    const int64_t stallLimit = std::chrono::microseconds(kCameraStallLimit).count();
    while (!stopping_) {
      pollfd fds[2] = {{fd_.fd, POLLIN, 0}, {wake_.fd, POLLIN, 0}};
      const int r = ::poll(fds, 2, 250);
      if (stopping_) return;
      if (r < 0 && errno != EINTR) return gone();
      if (r > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) return gone();
      if (r > 0 && (fds[0].revents & POLLIN)) {
        for (;;) {
          v4l2_buffer buf{};
          buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
          buf.memory = V4L2_MEMORY_MMAP;
          if (xioctl(fd_.fd, VIDIOC_DQBUF, &buf) < 0) {
            if (errno == EAGAIN) break;
            return gone();
          }
          lastFrame = monotonicMicros();
          handleBuffer(buf);
          if (xioctl(fd_.fd, VIDIOC_QBUF, &buf) < 0) return gone();
        }
      }
      if (monotonicMicros() - lastFrame > stallLimit) return gone();
    }
  }

  // Capture has ended for good: the device went away or stopped giving frames.
  void gone() {
    if (!stopping_ && lost_) queue_->async(lost_);
  }

  void handleBuffer(const v4l2_buffer& buf) {
    ++produced_;
    // A frame that would be dropped anyway is not worth decoding.
    if (busy_->load() || (buf.flags & V4L2_BUF_FLAG_ERROR) || buf.index >= buffers_.size()) {
      ++dropped_;
      return;
    }
    // Drivers stamp frames with the monotonic clock; one that says otherwise gets the moment
    // it was dequeued, on the same clock.
    const bool monotonic =
        (buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    const int64_t micros = monotonic
                               ? int64_t(buf.timestamp.tv_sec) * 1000000 + buf.timestamp.tv_usec
                               : monotonicMicros();
    const Mapping& m = buffers_[buf.index];
    Result<PixelBuffer> image =
        converter_.convert(layout_, static_cast<const uint8_t*>(m.base),
                           std::min<size_t>(buf.bytesused, m.length), kWidth, kHeight);
    if (!image) {
      ++dropped_;
      return;
    }
    busy_->store(true);
    ++delivered_;
    CameraFrame out{std::move(image.value()), MediaTime::make(micros, 1000000)};
    queue_->async([busy = busy_, handler = handler_, out = std::move(out)] {
      (*handler)(out);
      busy->store(false);
    });
  }

  Fd fd_;
  Fd wake_;
  std::vector<Mapping> buffers_;
  CaptureLayout layout_;
  CaptureConverter converter_;  // capture thread only

  SerialQueue* queue_ = nullptr;
  std::shared_ptr<const FrameHandler> handler_;
  Work lost_;
  std::unique_ptr<SerialQueue> capture_;
  std::atomic<bool> stopping_{false};
  // Shared with the work posted to the frame queue, which may outlive the camera.
  std::shared_ptr<std::atomic<bool>> busy_ = std::make_shared<std::atomic<bool>>(false);
  std::atomic<int64_t> produced_{0}, delivered_{0}, dropped_{0};
};

CaptureFormat captureFormatOf(uint32_t fourcc) {
  return fourcc == V4L2_PIX_FMT_MJPEG  ? CaptureFormat::Mjpeg
         : fourcc == V4L2_PIX_FMT_NV12 ? CaptureFormat::Nv12
                                       : CaptureFormat::Yuyv;
}

// Asks for `fourcc` at 1280x720; the driver answers with what it will give.
bool setFormat(int fd, uint32_t fourcc, v4l2_format* fmt) {
  std::memset(fmt, 0, sizeof *fmt);
  fmt->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  fmt->fmt.pix.width = kWidth;
  fmt->fmt.pix.height = kHeight;
  fmt->fmt.pix.pixelformat = fourcc;
  fmt->fmt.pix.field = V4L2_FIELD_ANY;
  return xioctl(fd, VIDIOC_S_FMT, fmt) == 0;
}

Result<std::unique_ptr<Camera>> openDevice(const std::string& path) {
  using R = Result<std::unique_ptr<Camera>>;
  auto fd = std::make_unique<Fd>(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (fd->fd < 0) return R::failure(systemError(errno));

  // The preferred format, else whatever known format the driver settles on.
  v4l2_format fmt{};
  const auto wanted = chooseCaptureFormat(queryFormatOffers(fd->fd, kWidth, kHeight), kFps);
  bool ok = false;
  for (uint32_t fourcc : {wanted.value_or(0u), uint32_t(V4L2_PIX_FMT_MJPEG),
                          uint32_t(V4L2_PIX_FMT_NV12), uint32_t(V4L2_PIX_FMT_YUYV)}) {
    if (fourcc == 0) continue;
    if (!setFormat(fd->fd, fourcc, &fmt)) return R::failure(systemError(errno));
    if ((ok = isKnownCaptureFormat(fmt.fmt.pix.pixelformat))) break;
  }
  if (!ok) return R::failure("the camera offers no usable pixel format");

  // 30 frames per second where offered; the driver picks the nearest it has.
  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (xioctl(fd->fd, VIDIOC_G_PARM, &parm) == 0 &&
      (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
    parm.parm.capture.timeperframe = {1, kFps};
    (void)xioctl(fd->fd, VIDIOC_S_PARM, &parm);
  }

  v4l2_requestbuffers req{};
  req.count = kBuffers;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (xioctl(fd->fd, VIDIOC_REQBUFS, &req) < 0) return R::failure(systemError(errno));
  if (req.count < 2) return R::failure("the camera gives too few capture buffers");
  std::vector<Mapping> maps;
  auto unmapAll = [&maps] {
    for (const Mapping& m : maps)
      if (m.base != MAP_FAILED) ::munmap(m.base, m.length);
  };
  for (uint32_t i = 0; i < req.count; ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    Mapping m;
    if (xioctl(fd->fd, VIDIOC_QUERYBUF, &buf) == 0) {
      m.length = buf.length;
      m.base =
          ::mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd->fd, buf.m.offset);
    }
    if (m.base == MAP_FAILED || xioctl(fd->fd, VIDIOC_QBUF, &buf) < 0) {
      const int e = errno;
      unmapAll();
      return R::failure(systemError(e));
    }
    maps.push_back(m);
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (xioctl(fd->fd, VIDIOC_STREAMON, &type) < 0) {
    const int e = errno;
    unmapAll();
    return R::failure(systemError(e));
  }

  CaptureLayout layout;
  layout.format = captureFormatOf(fmt.fmt.pix.pixelformat);
  layout.width = static_cast<int>(fmt.fmt.pix.width);
  layout.height = static_cast<int>(fmt.fmt.pix.height);
  layout.bytesPerLine = static_cast<int>(fmt.fmt.pix.bytesperline);
  layout.fullRange = fmt.fmt.pix.quantization == V4L2_QUANTIZATION_FULL_RANGE ||
                     fmt.fmt.pix.colorspace == V4L2_COLORSPACE_JPEG;
  const int raw = fd->fd;
  fd->fd = -1;  // the camera owns it from here
  return std::unique_ptr<Camera>(std::make_unique<V4l2Camera>(raw, std::move(maps), layout));
}

class DeviceSource : public CameraSource {
 public:
  CameraPermission permission() override { return cameraPermission(); }
  bool requestAccess() override { return requestCameraAccess(); }
  Result<std::unique_ptr<Camera>> open() override {
    auto path = defaultCameraPath();
    if (!path) return Result<std::unique_ptr<Camera>>::failure("no-camera");
    return openDevice(*path);
  }
};

}  // namespace

std::unique_ptr<CameraSource> deviceCameraSource() { return std::make_unique<DeviceSource>(); }

}  // namespace talvex::media
