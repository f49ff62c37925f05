#include "tests/device_log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

#include "tests/run_program.h"

namespace talvex::testing {

namespace {
std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }
}  // namespace

Movie probe(const std::filesystem::path& movie) {
  Movie m;
  std::istringstream s(
      shell("ffprobe -v error -select_streams v:0 -show_entries "
            "stream=codec_name,width,height -of default=nw=1 " +
            quoted(movie) + " 2>/dev/null"));
  for (std::string line; std::getline(s, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string k = line.substr(0, eq), v = line.substr(eq + 1);
    if (k == "codec_name") m.codec = v;
    if (k == "width") m.width = std::atoi(v.c_str());
    if (k == "height") m.height = std::atoi(v.c_str());
  }
  std::istringstream p(
      shell("ffprobe -v error -select_streams v:0 -show_entries "
            "packet=pts_time -of csv=p=0 " +
            quoted(movie) + " 2>/dev/null"));
  for (std::string line; std::getline(p, line);)
    if (!line.empty()) m.pts.push_back(std::atof(line.c_str()));
  std::sort(m.pts.begin(), m.pts.end());
  return m;
}

int decodedFrames(const std::filesystem::path& movie) {
  int st = 0;
  const std::string n = shell(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames -of csv=p=0 " +
          quoted(movie) + " 2>/dev/null",
      &st);
  return st == 0 && !n.empty() ? std::atoi(n.c_str()) : -1;
}

std::string decodeErrors(const std::filesystem::path& movie) {
  int st = 0;
  const std::string errors = shell("ffmpeg -v error -i " + quoted(movie) + " -f null - 2>&1", &st);
  return st == 0 || !errors.empty() ? errors : "ffmpeg failed without a word";
}

std::optional<double> startEpoch(const std::filesystem::path& framesFile) {
  const auto lines = fileLines(framesFile);
  double epoch = 0;
  if (lines.empty() || std::sscanf(lines[0].c_str(), "{\"start_epoch\":%lf}", &epoch) != 1)
    return std::nullopt;
  return epoch;
}

DeviceLog readDeviceLog(const std::filesystem::path& p) {
  DeviceLog log;
  for (const std::string& line : testing::fileLines(p)) {
    if (line.rfind("# stream ", 0) == 0) {
      log.streams.push_back(line.substr(9));
      continue;
    }
    unsigned seq = 0;
    long long mono = 0, wall = 0;
    if (std::sscanf(line.c_str(), "%u %lld %lld", &seq, &mono, &wall) == 3)
      log.frames.push_back({mono, wall});
  }
  return log;
}

const DeviceLog::Frame* movieOrigin(const Movie& movie, const DeviceLog& log) {
  std::set<long long> delivered;
  for (const auto& f : log.frames) delivered.insert(f.monoUs);
  auto near = [&](long long us) {
    auto it = delivered.lower_bound(us - 30);
    return it != delivered.end() && *it <= us + 30;
  };
  for (const auto& origin : log.frames) {
    bool all = true;
    for (double t : movie.pts)
      if (!(all = near(origin.monoUs + std::llround(t * 1e6)))) break;
    if (all) return &origin;
  }
  return nullptr;
}

}  // namespace talvex::testing
