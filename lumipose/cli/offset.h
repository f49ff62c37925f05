#pragma once

#include <optional>
#include <string>

namespace talvex::lumipose {

// A mux offset: strtod syntax in the POSIX locale (sign, decimal or hexadecimal forms,
// infinity, NaN) that consumes the whole, non-empty text and does not start with white space.
// nullopt for anything else.
std::optional<double> parseOffset(const std::string& text);

}  // namespace talvex::lumipose
