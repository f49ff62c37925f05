#include "record/options.h"

#include <charconv>
#include <cmath>
#include <filesystem>

namespace talvex::record {

namespace {

std::optional<double> positiveSeconds(const std::string& text) {
  double v = 0;
  const char* end = text.data() + text.size();
  // from_chars reads the POSIX form whatever the locale.
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || ptr != end || !std::isfinite(v) || v <= 0) return std::nullopt;
  return v;
}

}  // namespace

Result<Options> parseOptions(std::span<const std::string> args) {
  using R = Result<Options>;
  Options o;
  bool operandsOnly = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!operandsOnly && a == "--") {
      operandsOnly = true;
    } else if (!operandsOnly && (a == "--seconds" || a.rfind("--seconds=", 0) == 0)) {
      std::string value;
      if (a == "--seconds") {
        if (i + 1 == args.size())
          return R::failure("--seconds needs a number; " + std::string(kUsage));
        value = args[++i];
      } else {
        value = a.substr(10);
      }
      o.seconds = positiveSeconds(value);
      if (!o.seconds) return R::failure("--seconds needs a number above 0, not '" + value + "'");
    } else if (!operandsOnly && a == "--sheet") {
      o.sheet = true;
    } else if (!operandsOnly && a.size() > 1 && a[0] == '-') {
      return R::failure("unknown option " + a + "; " + kUsage);
    } else if (o.out.empty()) {
      o.out = a;
    } else {
      return R::failure(std::string("one movie at a time; ") + kUsage);
    }
  }
  if (o.out.empty()) return R::failure(kUsage);
  return o;
}

KeptFiles keptFilesFor(const std::string& out) {
  const std::filesystem::path p(out);
  std::string stem = out;
  if (p.has_extension() && p.extension() != ".jsonl" && p.extension() != ".png")
    stem.resize(out.size() - p.extension().string().size());
  return {stem + ".jsonl", stem + "-sheet.png"};
}

}  // namespace talvex::record
