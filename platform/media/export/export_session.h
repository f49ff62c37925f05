// Writes a composition to a movie file, asynchronously, ending completed or failed.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/media/export/composition.h"
#include "platform/process/dispatch.h"

namespace talvex::media {

// The only preset: video passes through bit for bit and audio is stored as 16-bit PCM, so
// nothing loses quality and audio lands exactly on its sample.
inline constexpr const char* kPresetHighestQuality = "HighestQuality";

enum class FileType { QuickTimeMovie };

// Lifecycle: create() -> set the output -> exportAsynchronously() once -> after its completion,
// status() and error() are final. The session holds its own copy of the composition.
// Threading: the export runs on the session's own worker thread, joined when the session is
// destroyed; the completion runs there once, and the caller reads status() and error() after the
// completion has run (a semaphore it signals orders the reads after the writes).
class ExportSession {
 public:
  enum class ExportStatus { Unknown = 0, Waiting = 1, Exporting = 2, Completed = 3, Failed = 4 };

  // Nothing when the preset is unknown or the composition holds nothing to write.
  static std::unique_ptr<ExportSession> create(const Composition& composition,
                                               const std::string& preset);

  void setOutputPath(std::string path) { outputPath_ = std::move(path); }
  void setOutputFileType(FileType type) { fileType_ = type; }

  // The file appears at the output path only once it is complete: it is written beside it
  // under a temporary name and renamed into place; a failed export removes its temporary file.
  void exportAsynchronously(std::function<void()> completion);

  ExportStatus status() const;
  std::optional<std::string> error() const;

 private:
  explicit ExportSession(Composition composition) : composition_(std::move(composition)) {}
  void run();

  Composition composition_;
  std::string outputPath_;
  FileType fileType_ = FileType::QuickTimeMovie;
  mutable std::mutex mutex_;
  ExportStatus status_ = ExportStatus::Waiting;
  std::optional<std::string> error_;
  // Declared last: joined first, before the fields the export uses.
  SerialQueue worker_{"talvex.export"};
};

}  // namespace talvex::media
