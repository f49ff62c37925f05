#include "tests/v4l2_emulator/device_description.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <numeric>
#include <sstream>

namespace talvex::v4l2emu {
namespace {

int errnoOf(const std::string& name) {
  static const std::map<std::string, int> kNames = {
      {"EACCES", EACCES}, {"EPERM", EPERM}, {"EBUSY", EBUSY},   {"ENOENT", ENOENT},
      {"ENODEV", ENODEV}, {"EIO", EIO},     {"ENOSPC", ENOSPC}, {"EINVAL", EINVAL}};
  auto it = kNames.find(name);
  return it == kNames.end() ? 0 : it->second;
}

bool parseSize(const std::string& s, uint32_t* w, uint32_t* h) {
  auto x = s.find('x');
  if (x == std::string::npos) return false;
  *w = static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 10));
  *h = static_cast<uint32_t>(std::strtoul(s.c_str() + x + 1, nullptr, 10));
  return *w > 0 && *h > 0;
}

// "30" -> 1/30 s, "7.5" -> 2/15 s.
std::pair<uint32_t, uint32_t> intervalOf(double fps) {
  uint32_t num = 1000, den = static_cast<uint32_t>(std::lround(fps * 1000));
  const uint32_t g = std::gcd(num, den);
  return {num / g, den / g};
}

}  // namespace

uint32_t fourccOf(const std::string& name) {
  if (name.size() != 4) return 0;
  return uint32_t(uint8_t(name[0])) | uint32_t(uint8_t(name[1])) << 8 |
         uint32_t(uint8_t(name[2])) << 16 | uint32_t(uint8_t(name[3])) << 24;
}

std::optional<Description> parseDescription(const std::string& text, std::string* error) {
  Description d;
  std::istringstream in(text);
  int lineNo = 0;
  auto bad = [&](const std::string& why) -> std::optional<Description> {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
    return std::nullopt;
  };
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string key;
    if (!(words >> key)) continue;
    if (key == "device") {
      DeviceDescription dev;
      if (!(words >> dev.path)) return bad("device needs a path");
      d.devices.push_back(dev);
      continue;
    }
    if (d.devices.empty()) return bad("'" + key + "' before any device");
    DeviceDescription& dev = d.devices.back();
    std::string rest;
    std::getline(words >> std::ws, rest);
    std::istringstream args(rest);
    if (key == "card") {
      dev.card = rest;
    } else if (key == "metadata") {
      dev.capture = false;
    } else if (key == "format") {
      std::string fourcc, size;
      FrameSize fs;
      if (!(args >> fourcc >> size) || !fourccOf(fourcc) || !parseSize(size, &fs.width, &fs.height))
        return bad("format <FOURCC> <W>x<H> <fps>...");
      for (double fps; args >> fps;) fs.intervals.push_back(intervalOf(fps));
      if (fs.intervals.empty()) return bad("format needs at least one frame rate");
      PixelFormat* pf = nullptr;
      for (auto& f : dev.formats)
        if (f.fourcc == fourccOf(fourcc)) pf = &f;
      if (!pf) {
        dev.formats.push_back({fourccOf(fourcc), {}});
        pf = &dev.formats.back();
      }
      pf->sizes.push_back(fs);
    } else if (key == "open-error" || key == "streamon-error") {
      const int e = errnoOf(rest);
      if (!e) return bad("unknown error name " + rest);
      (key == "open-error" ? dev.openError : dev.streamonError) = e;
    } else if (key == "jitter") {
      if (!(args >> dev.jitter) || dev.jitter < 0 || dev.jitter >= 1)
        return bad("jitter takes a fraction below 1");
    } else if (key == "stall-at") {
      int64_t after = 0, ms = 0;
      if (!(args >> after >> ms)) return bad("stall-at <frames> <ms>");
      dev.stall = {after, ms};
    } else if (key == "unplug-at") {
      int64_t after = 0, back = -1;
      if (!(args >> after)) return bad("unplug-at <frames> [<back after ms>]");
      args >> back;
      dev.unplug = {after, back};
    } else if (key == "gone-while") {
      dev.goneWhile = rest;
    } else if (key == "stall-while") {
      dev.stallWhile = rest;
    } else if (key == "multiplanar") {
      dev.multiplanar = true;
    } else if (key == "first-frame-after") {
      if (!(args >> dev.firstFrameAfterMs) || dev.firstFrameAfterMs < 0)
        return bad("first-frame-after <ms>");
    } else if (key == "jpeg-damage") {
      static const std::map<std::string, JpegDamage> kDamage = {
          {"stray-bytes", JpegDamage::StrayBytes},
          {"cut-short", JpegDamage::CutShort},
          {"wrong-size", JpegDamage::WrongSize}};
      auto it = kDamage.find(rest);
      if (it == kDamage.end()) return bad("jpeg-damage stray-bytes|cut-short|wrong-size");
      dev.jpegDamage = it->second;
    } else if (key == "log") {
      dev.log = rest;
    } else if (key == "clip") {
      std::string fourcc, size;
      Clip c;
      if (!(args >> fourcc >> size >> c.path) || !fourccOf(fourcc) ||
          !parseSize(size, &c.width, &c.height))
        return bad("clip <FOURCC> <W>x<H> <file>");
      c.fourcc = fourccOf(fourcc);
      dev.clips.push_back(c);
    } else {
      return bad("unknown directive " + key);
    }
  }
  return d;
}

}  // namespace talvex::v4l2emu
