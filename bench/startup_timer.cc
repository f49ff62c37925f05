// How fast the programs start, measured from outside as a parent sees it.
//
//   startup_timer time <runs> -- <program> [args...]
//     Runs the program to completion <runs> times (standard streams on /dev/null) and prints
//     the whole-process wall time from spawn to exit: min, median, p90, max.
//   startup_timer signal <runs> -- <program> [args...]
//     For growing delays after spawn, sends SIGTERM and watches how the process ends: killed
//     by the signal (no handling yet) or exiting by itself (the signal was handled). Prints,
//     per delay, how many of <runs> handled it, and the first delay from which all did. A
//     process still running 10 s after the signal has lost it (and is killed).
//
// The environment is passed through, so LD_PRELOAD can give the program a camera.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<char*>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * double(v.size() - 1) + 0.5)];
}

int timeRuns(int runs, const std::vector<char*>& argv) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto began = Clock::now();
    pid_t pid = spawn(argv);
    if (pid < 0) return 1;
    int st = 0;
    ::waitpid(pid, &st, 0);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
  }
  std::printf("%s: %d runs, ms: min %.1f median %.1f p90 %.1f max %.1f\n", argv[0], runs,
              percentile(ms, 0), percentile(ms, 0.5), percentile(ms, 0.9), percentile(ms, 1));
  return 0;
}

int signalRuns(int runs, const std::vector<char*>& argv) {
  int allFrom = -1;
  for (int delay : {1, 2, 5, 10, 15, 20, 30, 50, 100, 200, 400, 800}) {
    int handled = 0, lost = 0;
    for (int i = 0; i < runs; ++i) {
      pid_t pid = spawn(argv);
      if (pid < 0) return 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      ::kill(pid, SIGTERM);
      // A signal the program swallowed without acting on it leaves it running: lost.
      int st = 0;
      const auto giveUp = Clock::now() + std::chrono::seconds(10);
      while (::waitpid(pid, &st, WNOHANG) == 0) {
        if (Clock::now() > giveUp) {
          ::kill(pid, SIGKILL);
          ::waitpid(pid, &st, 0);
          ++lost;
          st = -1;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (st != -1 && WIFEXITED(st)) ++handled;
    }
    std::printf("%s: SIGTERM %4d ms after spawn: handled %d of %d (lost: %d)\n", argv[0], delay,
                handled, runs, lost);
    if (handled == runs && allFrom < 0) allFrom = delay;
    if (handled < runs) allFrom = -1;
  }
  if (allFrom >= 0)
    std::printf("%s: handled in every run from %d ms on\n", argv[0], allFrom);
  else
    std::printf("%s: not handled in every run even at 800 ms\n", argv[0]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || std::strcmp(argv[3], "--") != 0) {
    std::fprintf(stderr, "usage: startup_timer time|signal <runs> -- <program> [args...]\n");
    return 2;
  }
  const int runs = std::atoi(argv[2]);
  std::vector<char*> child(argv + 4, argv + argc);
  child.push_back(nullptr);
  if (std::strcmp(argv[1], "time") == 0) return timeRuns(runs, child);
  if (std::strcmp(argv[1], "signal") == 0) return signalRuns(runs, child);
  return 2;
}
