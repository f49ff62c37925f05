// Writes a composition to a movie file, asynchronously, ending completed or failed.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/media/export/composition.h"
#include "platform/process/dispatch.h"
#include "platform/process/result.h"

namespace talvex::media {

// Writes a QuickTime movie: video passes through bit for bit and audio is stored as 16-bit PCM,
// so nothing loses quality and audio lands exactly on its sample.
// Lifecycle: create() -> setOutputPath() -> exportAsynchronously() once -> after its
// completion, result() is final. The session holds its own copy of the composition.
// Threading: the export runs on the session's own worker thread, joined when the session is
// destroyed; the completion runs there once, and the caller reads result() after the completion
// has run (a semaphore it signals orders the read after the write).
class ExportSession {
 public:
  // Nothing when the composition holds nothing to write.
  static std::unique_ptr<ExportSession> create(const Composition& composition);

  void setOutputPath(std::string path) { outputPath_ = std::move(path); }

  // The file appears at the output path only once it is complete: it is written beside it
  // under a temporary name and renamed into place; a failed export removes its temporary file.
  void exportAsynchronously(std::function<void()> completion);

  // How the export ended: ok, or the failure with its reason.
  Status result() const;

 private:
  explicit ExportSession(Composition composition) : composition_(std::move(composition)) {}
  void run();

  Composition composition_;
  std::string outputPath_;
  mutable std::mutex mutex_;
  Status result_ = Status::failure("not exported");
  // Declared last: joined first, before the fields the export uses.
  SerialQueue worker_{"talvex.export"};
};

}  // namespace talvex::media
