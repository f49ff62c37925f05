// Writes a frames file: one compact JSON object per line, each ended by one line feed.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/process/result.h"
#include "platform/process/unique_fd.h"

namespace talvex::lumipose {

// Lifecycle: open() -> write()* -> close() -> destruction. Owns its file descriptor; the
// destructor closes it if close() was not called. No lock, no thread: each caller confines a
// writer to one thread or serial queue.
class LineWriter {
 public:
  // Creates or truncates the file at `path` and opens it for writing, in one step. Fails (and
  // prints nothing) with the system's description when the file cannot be opened.
  static Result<std::unique_ptr<LineWriter>> open(const std::string& path);
  // The same for a file that must be a regular one: a pipe is not waited on for a reader, and
  // anything but a regular file fails with "not a regular file: <path>".
  static Result<std::unique_ptr<LineWriter>> openRegularFile(const std::string& path);
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Appends `record` as one line, with one write call, so each line reaches the file whole as
  // soon as this returns. A record that has no JSON form (a NaN or an infinity in it) is
  // skipped silently; the writer stays usable.
  //
  // A line the file cannot take whole (disk full, device gone) is cut off again, so the file
  // never ends inside a line; from then on the writer writes nothing more and error() says why.
  // Returns false exactly when the writer has failed.
  bool write(const nlohmann::ordered_json& record);
  bool write(const nlohmann::json& record);
  // Closes the file; a failure of the close itself is reported like a failed write.
  Status close();

  // Lines the file holds (records skipped as having no JSON form are not lines).
  int64_t lines() const { return lines_; }

  // The system's description of the first failed write, or nothing.
  const std::optional<std::string>& error() const { return error_; }

 private:
  explicit LineWriter(UniqueFd fd) : fd_(std::move(fd)) {}
  bool writeText(std::string text);
  UniqueFd fd_;
  int64_t end_ = 0;  // bytes of whole lines written
  int64_t lines_ = 0;
  std::optional<std::string> error_;
};

}  // namespace talvex::lumipose
