// Writes a frames file: one compact JSON object per line, each ended by one line feed.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace talvex::lumipose {

// Lifecycle: open() -> write()* -> close() -> destruction. Owns its file descriptor; the
// destructor closes it if close() was not called. No lock, no thread: each caller confines a
// writer to one thread or serial queue.
class LineWriter {
 public:
  // Creates or truncates the file at `path` and opens it for writing, in one step. Returns
  // nothing (and prints nothing) when the file cannot be opened.
  static std::unique_ptr<LineWriter> open(const std::string& path);
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Appends `record` as one line, with one write call, so each line reaches the file whole as
  // soon as this returns. A record that has no JSON form (a NaN or an infinity in it) is
  // skipped silently; the writer stays usable.
  void write(const nlohmann::ordered_json& record);
  void write(const nlohmann::json& record);
  void close();

 private:
  explicit LineWriter(int fd) : fh(fd) {}
  void writeText(std::string text);
  int fh;
};

}  // namespace talvex::lumipose
