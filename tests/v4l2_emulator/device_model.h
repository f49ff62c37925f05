// The emulated V4L2 devices of one process, as a UVC camera's driver keeps them: presence (a
// node that is unplugged and comes back), the negotiated format and frame rate, and streaming
// into memory-mapped buffers filled at the device's own pace. v4l2_emulator.cc puts them
// behind the C library's calls. Test code only.
//
// Lifecycle: made once from the description, lives as long as the process. Threading: every
// call is made with `mu` held; a blocking buffer dequeue lets it go while it waits.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "tests/v4l2_emulator/device_description.h"
#include "tests/v4l2_emulator/frame_source.h"

namespace talvex::v4l2emu {

int64_t nowNs(bool wallClock = false);

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

class DeviceModel {
 public:
  explicit DeviceModel(const Description& description);

  std::mutex mu;
  std::vector<Device> devices;
  std::map<int, OpenFile> files;  // by the descriptor the program holds

  Device* deviceAt(const char* path);
  // Brings a device's presence up to date; a node that has gone kills its open files.
  bool present(Device& d);
  // The open file behind `fd`, or null; `alive` tells whether its device is still there.
  OpenFile* file(int fd, bool* alive);
  void releaseStream(Device& d);
  // Readiness of an open file for poll (POLLIN, POLLERR...), after advancing its device;
  // `wakeNs` is lowered to when it may change.
  short readiness(int fd, int64_t* wakeNs);
  // Answers a V4L2 request on open file `fd` as the driver would: 0, or -1 with errno.
  int ioctl(int fd, OpenFile& f, unsigned long request, void* arg);

 private:
  void advance(Device& d);
  int64_t nextInterval(Device& d);
  void logFrame(const Device& d, const Buffer& b);
  void logStream(const Device& d);

  // One handler for each kind of request.
  int queryCapabilities(const Device& d, void* arg);
  int enumerateFormats(const Device& d, void* arg);
  int enumerateSizes(const Device& d, void* arg);
  int enumerateIntervals(const Device& d, void* arg);
  int format(Device& d, unsigned long request, void* arg);
  int streamParameters(Device& d, unsigned long request, void* arg);
  int input(const Device& d, unsigned long request, void* arg);
  int requestBuffers(Device& d, int fd, void* arg);
  int buffer(Device& d, int fd, OpenFile& f, unsigned long request, void* arg);
  // Waits for a filled buffer; false (errno set) when there is none to wait for.
  bool awaitFrame(Device& d, OpenFile& f);
  int streamOn(Device& d, int fd, void* arg);
  int streamOff(Device& d, int fd, void* arg);
  int exportBuffer(Device& d, int fd, void* arg);
};

}  // namespace talvex::v4l2emu
