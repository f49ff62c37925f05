// The two paths of a REC line: checked before anything at them is removed or created, and
// followed until the stop, so that a recording never destroys what is not its own and never
// ends silently without its files.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/process/result.h"

namespace talvex::lumipose {

// Whether `movie` and `frames` may be recorded into while `preview` is the session's preview.
// Opening a recording replaces what is at its paths, so each must be a regular file or nothing
// yet (a device, a pipe or a folder would be deleted, or block the open), and the three paths
// must name three different files, by whatever name or link. The failure is the line to print
// after "ERR:":
//   "REC path with a NUL byte"
//   "not a regular file: <path>"
//   "movie and frames are the same file: <movie>"
//   "same file as the preview: <path>"
Status checkRecordingPaths(const std::string& movie, const std::string& frames,
                           const std::string& preview);

// The files a recording created, by identity (device and inode) rather than by name: whoever
// removes or replaces one while it is written leaves the writer writing into a file nobody can
// open any more. Lifecycle: add() as each file is created, missing() once it is complete.
class PlacedFiles {
 public:
  // Notes the file now at `path`; nothing when there is none.
  void add(const std::string& path);
  // The paths that no longer name the file noted for them, in the order they were added.
  std::vector<std::string> missing() const;

 private:
  struct Placed {
    std::string path;
    dev_t device;
    ino_t inode;
  };
  std::vector<Placed> files_;
};

}  // namespace talvex::lumipose
