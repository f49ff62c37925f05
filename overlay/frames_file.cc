#include "overlay/frames_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

namespace talvex::overlay {
namespace {

using nlohmann::json;

// A frame record is a few hundred bytes and three levels deep. Parsed, a line takes several
// times its size (a nested bracket some seventy bytes), so lines past these bounds are refused
// before they are parsed: any frames file then costs memory in proportion to its records.
constexpr size_t kMaxLine = 1 << 20;
constexpr int kMaxDepth = 32;

// How deeply the brackets of `line` nest outside its strings.
int nesting(std::string_view line) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : line) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

bool isNumber(const json& v) { return v.is_number() && std::isfinite(v.get<double>()); }

template <size_t N>
std::optional<std::array<double, N>> numbers(const json& v) {
  if (!v.is_array() || v.size() != N) return std::nullopt;
  std::array<double, N> out{};
  for (size_t i = 0; i < N; ++i) {
    if (!isNumber(v[i])) return std::nullopt;
    out[i] = v[i].get<double>();
  }
  return out;
}

// Fills `rec` from the object `o`; returns what is wrong, or nothing.
std::optional<std::string> readRecord(const json& o, Record& rec) {
  const auto t = o.find("t");
  if (t == o.end()) return "record without \"t\"";
  if (!isNumber(*t)) return "\"t\" is not a number";
  rec.t = t->get<double>();
  const auto faces = o.find("faces");
  if (faces == o.end()) return "record without \"faces\"";
  if (!faces->is_number_integer() || faces->get<int64_t>() < 0 || faces->get<int64_t>() > 1000000)
    return "\"faces\" is not a count";
  rec.faces = static_cast<int>(faces->get<int64_t>());

  for (const char* key : {"yaw", "pitch", "roll"}) {
    const auto it = o.find(key);
    if (it == o.end()) continue;
    if (!isNumber(*it)) return std::string("\"") + key + "\" is not a number";
    std::optional<double>& slot = key[0] == 'y' ? rec.yaw : (key[0] == 'p' ? rec.pitch : rec.roll);
    slot = it->get<double>();
  }
  if (const auto it = o.find("box"); it != o.end()) {
    rec.box = numbers<4>(*it);
    if (!rec.box) return "\"box\" is not 4 numbers";
  }
  if (const auto it = o.find("gaze"); it != o.end()) {
    rec.gaze = numbers<2>(*it);
    if (!rec.gaze) return "\"gaze\" is not 2 numbers";
  }
  if (const auto it = o.find("mouth"); it != o.end()) {
    rec.mouth = numbers<2>(*it);
    if (!rec.mouth) return "\"mouth\" is not 2 numbers";
  }
  if (const auto it = o.find("hands"); it != o.end()) {
    if (!it->is_array()) return "\"hands\" is not a list";
    for (const json& h : *it) {
      auto v = numbers<3>(h);
      if (!v) return "a hand is not 3 numbers";
      rec.hands.push_back(Wrist{{(*v)[0], (*v)[1]}, (*v)[2]});
    }
  }
  if (const auto it = o.find("shoulders"); it != o.end()) {
    if (!it->is_array() || it->size() != 2) return "\"shoulders\" is not 2 points";
    auto l = numbers<2>((*it)[0]), r = numbers<2>((*it)[1]);
    if (!l || !r) return "\"shoulders\" is not 2 points";
    rec.shoulders = std::array<NormPoint, 2>{NormPoint{(*l)[0], (*l)[1]}, {(*r)[0], (*r)[1]}};
  }
  return std::nullopt;
}

}  // namespace

Result<FramesFile> parseFramesFile(const std::string& text, const std::string& name) {
  using R = Result<FramesFile>;
  FramesFile file;
  size_t pos = 0;
  int lineNo = 0;
  bool header = false;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    ++lineNo;
    auto where = [&](const std::string& what) {
      return R::failure(name + " line " + std::to_string(lineNo) + ": " + what);
    };
    if (line.empty()) return where("empty line");
    if (line.size() > kMaxLine) return where("line too long");
    if (nesting(line) > kMaxDepth) return where("nested too deeply");
    json o = json::parse(line, nullptr, false);
    if (o.is_discarded()) return where("not JSON");
    if (!o.is_object()) return where("not a JSON object");
    if (!header) {
      const auto e = o.find("start_epoch");
      if (e == o.end() || !isNumber(*e)) return where("no header {\"start_epoch\":...}");
      file.startEpoch = e->get<double>();
      header = true;
      continue;
    }
    Record rec;
    rec.line = lineNo;
    if (auto bad = readRecord(o, rec)) return where(*bad);
    if (!file.records.empty() && rec.t < file.records.back().t) {
      std::ostringstream why;
      why << "records out of order (t " << rec.t << " after " << file.records.back().t << ")";
      return where(why.str());
    }
    file.records.push_back(std::move(rec));
  }
  if (!header) return R::failure(name + ": no header line");
  return file;
}

Result<FramesFile> readFramesFile(const std::string& path) {
  using R = Result<FramesFile>;
  // Read with the system's own calls: a folder opens, but its read fails (a stream would just
  // seem empty).
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return R::failure("cannot read " + path);
  std::string text;
  char buf[1 << 16];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return R::failure("cannot read " + path);
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return parseFramesFile(text, path);
}

}  // namespace talvex::overlay
