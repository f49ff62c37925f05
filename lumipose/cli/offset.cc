#include "lumipose/cli/offset.h"

#include <locale.h>
#include <stdlib.h>

namespace talvex::lumipose {

std::optional<double> parseOffset(const std::string& text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
      return std::nullopt;
  }
  // The POSIX locale whatever the environment says, so "0.25" is a quarter everywhere.
  locale_t posix = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (posix == static_cast<locale_t>(0)) return std::nullopt;
  char* end = nullptr;
  double v = strtod_l(text.c_str(), &end, posix);
  freelocale(posix);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

}  // namespace talvex::lumipose
