// What talvex-looptap costs while it records, how long a sound takes from being played to
// being in the WAV file, and how well the file's length matches the time from "STARTED" to the
// stop signal. Runs the built program against the sound server in PULSE_SERVER
// (scripts/run_bench.sh starts a private PulseAudio and a private PipeWire in turn).
//
//   looptap_bench [--seconds=N]   N: length of the CPU measurement, 60 by default
//
// Other arguments (the ones run_bench.sh gives every benchmark) are ignored.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/run_program.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using talvex::testing::RunningProgram;

double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  // Fields after the command name, which is in parentheses and may hold spaces.
  auto rest = stat.substr(stat.rfind(')') + 2);
  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t next = rest.find(' ', pos);
    if (next == std::string::npos) next = rest.size();
    fields.push_back(rest.substr(pos, next - pos));
    pos = next + 1;
  }
  // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
  if (fields.size() < 13) return -1;
  return (std::stod(fields[11]) + std::stod(fields[12])) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Frames in the file, from its "STOPPED:" line.
long long stoppedFrames(const std::string& err) {
  const size_t at = err.rfind("STOPPED:");
  return at == std::string::npos ? -1 : std::stoll(err.substr(at + 8));
}

std::unique_ptr<RunningProgram> startLooptap(const std::string& out) {
  auto child = std::make_unique<RunningProgram>(
      std::vector<std::string>{talvex::testing::buildPath("talvex-looptap"), out});
  child->closeInput();
  if (!child->waitForLine("STARTED", 10s)) {
    std::fprintf(stderr, "looptap did not start: %s\n", child->errSoFar().c_str());
    std::exit(1);
  }
  return child;
}

void measureLength(const std::string& dir, int secs, int runs) {
  for (int i = 0; i < runs; ++i) {
    auto child = startLooptap(dir + "/length.wav");
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(secs));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    child->signal(SIGTERM);
    auto r = child->wait(10s);
    const long long frames = r ? stoppedFrames(r->err) : -1;
    std::printf("%d s capture: file %.4f s for %.4f s from STARTED to SIGTERM (%+.1f ms)\n", secs,
                static_cast<double>(frames) / 48000, wall,
                (static_cast<double>(frames) / 48000 - wall) * 1000);
  }
}

void measureCpu(const std::string& dir, int secs) {
  auto child = startLooptap(dir + "/cpu.wav");
  const double cpu0 = cpuSeconds(child->pid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(secs));
  const double cpu1 = cpuSeconds(child->pid());
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  child->signal(SIGTERM);
  auto r = child->wait(10s);
  const double share = 100.0 * (cpu1 - cpu0) / wall;
  std::printf(
      "capture CPU: %.2f s over %.1f s of recording = %.2f%% of one core (target <= 2%%) %s\n",
      cpu1 - cpu0, wall, share, share <= 2.0 ? "PASS" : "OVER");
  if (r) {
    const long long frames = stoppedFrames(r->err);
    std::printf("  file %.4f s for %.4f s from STARTED to SIGTERM (%+.1f ms)\n",
                static_cast<double>(frames) / 48000, wall,
                (static_cast<double>(frames) / 48000 - wall) * 1000);
  }
}

// Offset of the sample data in a WAV file that is being written, 0 while unknown.
size_t dataOffset(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(512, '\0');
  in.read(head.data(), 512);
  head.resize(static_cast<size_t>(in.gcount()));
  size_t at = head.find("data");
  return at == std::string::npos ? 0 : at + 8;
}

// A player of 48 kHz stereo float with at most 10 ms queued ahead of the sink; ends the
// program when there is none.
pa_simple* openClickPlayer() {
  pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, 48000, 2};
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = 480 * 8;
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(-1);
  int error = 0;
  pa_simple* player = pa_simple_new(nullptr, "looptap_bench", PA_STREAM_PLAYBACK, nullptr, "click",
                                    &sampleFormat, nullptr, &attr, &error);
  if (!player) {
    std::fprintf(stderr, "playback: %s\n", pa_strerror(error));
    std::exit(1);
  }
  return player;
}

void measureDelay(const std::string& dir) {
  const std::string wav = dir + "/delay.wav";
  auto child = startLooptap(wav);
  pa_simple* player = openClickPlayer();
  int error = 0;
  const std::vector<float> silence(480 * 2, 0.0f);
  std::vector<float> click(480 * 2, 0.0f);
  for (size_t i = 0; i < click.size(); ++i) click[i] = (i / 2) % 2 ? 0.8f : -0.8f;

  std::atomic<bool> stop{false};
  std::atomic<int> clickDue{0};
  std::atomic<int64_t> clickWrittenNs{0};
  std::thread feeder([&] {
    while (!stop) {
      const bool now = clickDue.exchange(0) != 0;
      const auto& block = now ? click : silence;
      // The click counts as played when it is handed to the server: the write may block
      // until there is room, and the click can be playing before it returns.
      if (now) clickWrittenNs = Clock::now().time_since_epoch().count();
      pa_simple_write(player, block.data(), block.size() * sizeof(float), &error);
    }
  });

  std::vector<double> delays;
  size_t scanned = 0;
  for (int i = 0; i < 12; ++i) {
    std::this_thread::sleep_for(300ms);
    const size_t off = dataOffset(wav);
    if (off == 0) continue;
    scanned = std::max<size_t>(scanned, fs::file_size(wav));
    clickDue = 1;
    bool found = false;
    const auto give_up = Clock::now() + 2s;
    while (!found && Clock::now() < give_up) {
      std::this_thread::sleep_for(500us);
      const size_t size = fs::file_size(wav);
      if (size <= scanned) continue;
      std::ifstream in(wav, std::ios::binary);
      const size_t from = off + (scanned - off) / 4 * 4;
      in.seekg(static_cast<std::streamoff>(from));
      std::vector<int16_t> s((size - from) / 2);
      in.read(reinterpret_cast<char*>(s.data()), static_cast<std::streamsize>(s.size() * 2));
      for (int16_t v : s)
        if (std::abs(int{v}) > 20000) found = true;
      scanned = from + s.size() * 2;
      if (found && clickWrittenNs != 0) {
        const double ms = (Clock::now().time_since_epoch().count() - clickWrittenNs.load()) / 1e6;
        delays.push_back(ms);
        clickWrittenNs = 0;
      }
    }
  }
  stop = true;
  feeder.join();
  pa_usec_t playbackLatency = pa_simple_get_latency(player, &error);
  pa_simple_free(player);
  child->signal(SIGTERM);
  child->wait(10s);
  if (delays.empty()) {
    std::printf("play-to-file delay: no click was found in the file\n");
    return;
  }
  std::sort(delays.begin(), delays.end());
  std::printf(
      "play-to-file delay over %zu clicks: min %.1f ms, median %.1f ms, max %.1f ms "
      "(of which the player's own queue holds about %.1f ms)\n",
      delays.size(), delays.front(), delays[delays.size() / 2], delays.back(),
      static_cast<double>(playbackLatency) / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
  int secs = 60;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--seconds=", 10) == 0) secs = std::atoi(argv[i] + 10);
  if (!std::getenv("PULSE_SERVER")) {
    std::fprintf(stderr, "PULSE_SERVER is not set: run through scripts/run_bench.sh\n");
    return 1;
  }
  char tmpl[] = "/tmp/looptap_bench.XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  measureDelay(dir);
  measureLength(dir, 3, 3);
  measureCpu(dir, secs);
  fs::remove_all(dir);
  return 0;
}
