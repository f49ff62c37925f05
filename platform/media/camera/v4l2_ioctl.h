// The one way the camera code calls into a V4L2 driver. Internal to platform/media.
#pragma once

#include <sys/ioctl.h>

#include <cerrno>

namespace talvex::media {

// ioctl, repeated when a signal interrupts it.
inline int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace talvex::media
