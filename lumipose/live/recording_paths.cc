#include "lumipose/live/recording_paths.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "platform/process/atomic_file.h"

namespace talvex::lumipose {
namespace {

namespace fs = std::filesystem;

// Files that exist are compared by identity (a hard link is the same file); a path with nothing
// there yet by where it would be created, with the links of the folders on its way resolved.
bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  const fs::path wa = fs::weakly_canonical(fs::absolute(a, ec), ec);
  if (ec) return a == b;
  const fs::path wb = fs::weakly_canonical(fs::absolute(b, ec), ec);
  if (ec) return a == b;
  return wa == wb;
}

}  // namespace

Status checkRecordingPaths(const std::string& movie, const std::string& frames,
                           const std::string& preview) {
  // The system would see a shorter name than the one asked for.
  for (const std::string* p : {&movie, &frames})
    if (p->find('\0') != std::string::npos) return Status::failure("REC path with a NUL byte");
  for (const std::string* p : {&movie, &frames})
    if (Status s = checkReplaceable(*p); !s) return s;
  if (sameFile(movie, frames))
    return Status::failure("movie and frames are the same file: " + movie);
  for (const std::string* p : {&movie, &frames})
    if (sameFile(*p, preview)) return Status::failure("same file as the preview: " + *p);
  return Status::ok();
}

void PlacedFiles::add(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) files_.push_back({path, st.st_dev, st.st_ino});
}

std::vector<std::string> PlacedFiles::missing() const {
  std::vector<std::string> gone;
  for (const Placed& f : files_) {
    struct stat st;
    if (::stat(f.path.c_str(), &st) != 0 || st.st_dev != f.device || st.st_ino != f.inode)
      gone.push_back(f.path);
  }
  return gone;
}

}  // namespace talvex::lumipose
