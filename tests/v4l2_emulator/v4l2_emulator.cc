// A user-space V4L2 capture device for machines without a camera (and kernels without
// v4l2loopback or CUSE): preloaded into a program (LD_PRELOAD), it makes the device nodes named
// by the description in $TALVEX_V4L2_EMULATOR (a file) appear to stat/access/opendir and
// answers open/close/ioctl/mmap/poll/select/epoll on them. What a driver would answer is the
// device model's (device_model.h); this file is the C library's side: which calls reach the
// model, and how an emulated file looks to them. Test code, never installed.
//
// Everything else goes to the C library untouched. The interposed calls share one state, the
// emulated devices of this process, behind the model's mutex: preloaded libraries have no
// other place to keep it, and the program may call in from any thread.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
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
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/v4l2_emulator/device_model.h"

namespace talvex::v4l2emu {
namespace {

template <class F>
F next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

int fail(int e) {
  errno = e;
  return -1;
}

struct DirState {
  size_t nextExtra = 0;
  dirent64 entry{};
};

// The description named by $TALVEX_V4L2_EMULATOR; none without it. A description that cannot
// be read ends the program: a test with a wrong device would prove nothing.
Description loadDescription() {
  const char* path = std::getenv("TALVEX_V4L2_EMULATOR");
  if (!path) return {};
  std::string text;
  const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  char buf[4096];
  for (long n; fd >= 0 && (n = ::syscall(SYS_read, fd, buf, sizeof buf)) > 0;) text.append(buf, n);
  if (fd >= 0) ::syscall(SYS_close, fd);
  std::string error;
  auto d = parseDescription(text, &error);
  if (!d) {
    std::fprintf(stderr, "v4l2 emulator: %s: %s\n", path, error.c_str());
    ::_exit(99);
  }
  return std::move(*d);
}

// The devices, and what the program holds of them through the C library: directory streams
// over /dev, and epoll watches.
class Emulator {
 public:
  static Emulator& get() {
    static Emulator* e = new Emulator();  // never destroyed: calls may come during exit
    return *e;
  }

  DeviceModel model;
  // For the emulated files a program watches with epoll: a timer descriptor, watched in the
  // file's place, that is readable exactly when poll() would say the file is (see rearm()).
  std::map<int, int> watches;
  std::map<DIR*, DirState> dirs;

  // Sets an epoll-watched file's timer to its readiness: expired when a frame waits (or the
  // file has failed), due when the next frame is, idle otherwise. Setting a timer clears its
  // expiry, so a frame dequeued stops the readiness it caused. A failed file is reported
  // every 10 ms, not at once: the program's loop would otherwise spin on it.
  void rearm(int fd) {
    const auto w = watches.find(fd);
    if (w == watches.end()) return;
    int64_t wake = INT64_MAX;
    const short r = model.readiness(fd, &wake);
    const int64_t now = nowNs();
    if (r & (POLLERR | POLLHUP)) wake = now + 10000000;
    if (r & POLLIN) wake = now;
    itimerspec due{};
    if (wake != INT64_MAX) {
      wake = std::max<int64_t>(wake, 1);
      due.it_value = {static_cast<time_t>(wake / 1000000000), static_cast<long>(wake % 1000000000)};
    }
    ::timerfd_settime(w->second, TFD_TIMER_ABSTIME, &due, nullptr);
  }

  int ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard lock(model.mu);
    bool alive = false;
    OpenFile* f = model.file(fd, &alive);
    if (!alive) {
      rearm(fd);
      return fail(ENODEV);
    }
    // The kernel reads the request as 32 bits: a caller that passes it through an int
    // (PipeWire's V4L2 plugin does) has it sign-extended on the way, and the driver still
    // answers.
    const int r = model.ioctl(fd, *f, static_cast<uint32_t>(request), arg);
    const int e = errno;
    rearm(fd);
    errno = e;
    return r;
  }

 private:
  Emulator() : model(loadDescription()) {}
};

// An emulated node: a descriptor of its own (on /dev/null, so that every call the emulator
// does not answer behaves sanely) registered as a file of that device.
int openDevice(Device& d, size_t index, int flags) {
  if (d.desc.openError) return fail(d.desc.openError);
  static auto realOpen = next<int (*)(const char*, int, ...)>("open");
  const int fd = realOpen("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (fd < 0) return fd;
  Emulator::get().model.files[fd] = OpenFile{index, d.generation, (flags & O_NONBLOCK) != 0};
  return fd;
}

// The mode that open() and its kin are given only when they may create a file.
mode_t modeArgument(int flags, va_list ap) {
  return flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0;
}

// Returns true when `path` is an emulated node and the call was answered (result in *r).
bool maybeOpen(const char* path, int flags, int* r) {
  Emulator& e = Emulator::get();
  std::lock_guard lock(e.model.mu);
  Device* d = e.model.deviceAt(path);
  if (!d) return false;
  *r = e.model.present(*d) ? openDevice(*d, static_cast<size_t>(d - e.model.devices.data()), flags)
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
  std::lock_guard lock(e.model.mu);
  Device* d = e.model.deviceAt(path);
  if (!d) return false;
  if (!e.model.present(*d)) {
    *r = fail(ENOENT);
  } else {
    fillStat(*d, st);
    *r = 0;
  }
  return true;
}

bool isEmulatedFd(int fd) {
  Emulator& e = Emulator::get();
  std::lock_guard lock(e.model.mu);
  return e.model.files.count(fd) > 0;
}

int pollEmulated(pollfd* fds, nfds_t n, int timeoutMs) {
  static auto realPoll = next<int (*)(pollfd*, nfds_t, int)>("poll");
  Emulator& e = Emulator::get();
  std::vector<bool> emulated(n);
  bool any = false;
  {
    std::lock_guard lock(e.model.mu);
    for (nfds_t i = 0; i < n; ++i)
      any |= emulated[i] = fds[i].fd >= 0 && e.model.files.count(fds[i].fd);
  }
  if (!any) return realPoll(fds, n, timeoutMs);
  const int64_t deadline = timeoutMs < 0 ? INT64_MAX : nowNs() + int64_t(timeoutMs) * 1000000;
  std::vector<pollfd> others(fds, fds + n);
  for (;;) {
    int64_t wake = deadline;
    int ready = 0;
    {
      std::lock_guard lock(e.model.mu);
      for (nfds_t i = 0; i < n; ++i) {
        if (!emulated[i]) continue;
        const short r = e.model.readiness(fds[i].fd, &wake);
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
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArgument(flags, ap);
  va_end(ap);
  int r;
  if (maybeOpen(path, flags, &r)) return r;
  static auto real = next<int (*)(const char*, int, ...)>("open");
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArgument(flags, ap);
  va_end(ap);
  int r;
  if (maybeOpen(path, flags, &r)) return r;
  static auto real = next<int (*)(const char*, int, ...)>("open64");
  return real(path, flags, mode);
}

int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open64(path, flags); }

int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArgument(flags, ap);
  va_end(ap);
  int r;
  if (path && path[0] == '/' && maybeOpen(path, flags, &r)) return r;
  static auto real = next<int (*)(int, const char*, int, ...)>("openat");
  return real(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArgument(flags, ap);
  va_end(ap);
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
    std::lock_guard lock(e.model.mu);
    auto it = e.model.files.find(fd);
    if (it != e.model.files.end()) {
      Device& d = e.model.devices[it->second.device];
      if (d.owner == fd) e.model.releaseStream(d);
      e.model.files.erase(it);
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
  std::lock_guard lock(e.model.mu);
  if (!e.model.files.count(fd)) return real(epfd, op, fd, event);
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
    std::lock_guard lock(e.model.mu);
    bool alive = false;
    OpenFile* f = e.model.file(fd, &alive);
    if (!alive) {
      errno = ENODEV;
      return MAP_FAILED;
    }
    Device& d = e.model.devices[f->device];
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
    std::lock_guard lock(e.model.mu);
    auto it = e.model.files.find(fd);
    if (it != e.model.files.end()) {
      fillStat(e.model.devices[it->second.device], st);
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
      std::lock_guard lock(e.model.mu);
      const int err = e.model.deviceAt(path)->desc.openError;
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
      std::lock_guard lock(e.model.mu);
      ours = e.model.deviceAt(path) != nullptr;
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
      std::lock_guard lock(e.model.mu);
      for (auto& d : e.model.devices)
        if (d.minor == int(minor) && e.model.present(d))
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
    std::lock_guard lock(e.model.mu);
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
    std::lock_guard lock(e.model.mu);
    e.dirs[dir] = DirState{};
  }
  return dir;
}

// The real entries of /dev, then the emulated nodes that are present.
dirent64* readdir64(DIR* dir) {
  static auto real = next<dirent64* (*)(DIR*)>("readdir64");
  Emulator& e = Emulator::get();
  {
    std::lock_guard lock(e.model.mu);
    if (!e.dirs.count(dir)) return real(dir);
  }
  if (dirent64* d = real(dir)) return d;
  std::lock_guard lock(e.model.mu);
  DirState& s = e.dirs[dir];
  while (s.nextExtra < e.model.devices.size()) {
    Device& d = e.model.devices[s.nextExtra++];
    if (!e.model.present(d) || d.desc.path.rfind("/dev/", 0) != 0) continue;
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
    std::lock_guard lock(e.model.mu);
    e.dirs.erase(dir);
  }
  static auto real = next<int (*)(DIR*)>("closedir");
  return real(dir);
}

}  // extern "C"
