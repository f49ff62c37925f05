// A movie or sound file held open from the moment it is opened as an asset. Internal to
// platform/media.
#pragma once

#include <memory>
#include <string>

#include "platform/media/av_handles.h"
#include "platform/process/result.h"
#include "platform/process/unique_fd.h"

namespace talvex::media {

// Readers and exports read the file through this descriptor, not by its path, so they see the
// file that was opened even when the path is removed or replaced meanwhile: `mux` removes its
// output before exporting, and that output may name one of its inputs.
// Lifecycle: shared by the asset and everything made from it; closed with the last owner.
// Threading: each reader keeps its own position (pread), so several may read at once.
class SourceFile {
 public:
  static Result<std::shared_ptr<const SourceFile>> open(const std::string& path);
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }

 private:
  SourceFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  std::string path_;
  UniqueFd fd_;
};

// A demuxer reading `file` through its own I/O context. Closing it releases the demuxer, then
// the I/O context, then its share of the file.
class OpenedInput {
 public:
  // Opens and probes the file; the text of a failure is FFmpeg's.
  static Result<std::unique_ptr<OpenedInput>> open(std::shared_ptr<const SourceFile> file);
  OpenedInput(const OpenedInput&) = delete;
  OpenedInput& operator=(const OpenedInput&) = delete;

  AVFormatContext* get() const { return fmt_.get(); }

 private:
  OpenedInput() = default;
  struct Cursor {
    int fd = -1;
    int64_t pos = 0;
    int64_t size = 0;
  };
  // Released in the reverse order: the demuxer (it may still touch the I/O context while
  // closing), the I/O context, the file.
  std::shared_ptr<const SourceFile> file_;
  Cursor cursor_;
  IoContextPtr io_;
  InputContextPtr fmt_;
};

}  // namespace talvex::media
