#include "lumipose/output/line_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>

#include "platform/process/output.h"

namespace talvex::lumipose {
namespace {

template <class Json>
bool allFinite(const Json& v) {
  if (v.is_number_float()) return std::isfinite(v.template get<double>());
  if (v.is_structured()) {
    for (const auto& item : v)
      if (!allFinite(item)) return false;
  }
  return true;
}

template <class Json>
std::string serialise(const Json& record, bool& ok) {
  ok = allFinite(record);
  if (!ok) return {};
  try {
    // Invalid UTF-8 in a string is an error rather than silently replaced.
    return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    ok = false;
    return {};
  }
}

}  // namespace

std::unique_ptr<LineWriter> LineWriter::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  return std::unique_ptr<LineWriter>(new LineWriter(fd));
}

LineWriter::~LineWriter() {
  if (fh >= 0) ::close(fh);
}

void LineWriter::write(const nlohmann::ordered_json& record) {
  bool ok = false;
  std::string text = serialise(record, ok);
  if (ok) writeText(std::move(text));
}

void LineWriter::write(const nlohmann::json& record) {
  bool ok = false;
  std::string text = serialise(record, ok);
  if (ok) writeText(std::move(text));
}

void LineWriter::writeText(std::string text) {
  if (fh < 0) return;
  text.push_back('\n');
  writeWhole(fh, text);
}

void LineWriter::close() {
  if (fh >= 0) ::close(fh);
  fh = -1;
}

}  // namespace talvex::lumipose
