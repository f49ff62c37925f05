#include "lumipose/output/line_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

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

Result<std::unique_ptr<LineWriter>> LineWriter::open(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) return Status::failure(path + ": " + std::strerror(errno));
  return std::unique_ptr<LineWriter>(new LineWriter(std::move(fd)));
}

Result<std::unique_ptr<LineWriter>> LineWriter::openRegularFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666));
  if (!fd.valid() && errno != ENXIO) return Status::failure(path + ": " + std::strerror(errno));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return Status::failure("not a regular file: " + path);
  // Writes to a regular file never wait anyway; the flag only kept the open from waiting.
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return std::unique_ptr<LineWriter>(new LineWriter(std::move(fd)));
}

LineWriter::~LineWriter() = default;

bool LineWriter::write(const nlohmann::ordered_json& record) {
  bool ok = false;
  std::string text = serialise(record, ok);
  return ok ? writeText(std::move(text)) : !error_;
}

bool LineWriter::write(const nlohmann::json& record) {
  bool ok = false;
  std::string text = serialise(record, ok);
  return ok ? writeText(std::move(text)) : !error_;
}

bool LineWriter::writeText(std::string text) {
  if (!fd_.valid() || error_) return false;
  text.push_back('\n');
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_.get(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? std::strerror(errno) : "the file takes no more data";
      // Whatever part of the line did land is taken back. Where the file cannot be cut (a
      // pipe, a device) nothing was kept that could be.
      if (::ftruncate(fd_.get(), end_) == 0) ::lseek(fd_.get(), end_, SEEK_SET);
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  end_ += static_cast<int64_t>(text.size());
  ++lines_;
  return true;
}

Status LineWriter::close() {
  if (!fd_.valid()) return error_ ? Status::failure(*error_) : Status::ok();
  const int rc = fd_.close();
  if (rc != 0 && errno != EINTR && !error_) error_ = std::strerror(errno);
  return error_ ? Status::failure(*error_) : Status::ok();
}

}  // namespace talvex::lumipose
