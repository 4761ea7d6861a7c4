#pragma once

#include <cstddef>
#include <string>

#include "safe_output/exit_cleanup.h"

// An output that cannot be written, in one wording: "cannot write 'TARGET': CAUSE", or without
// ": CAUSE" when there is none. (A recorder that refuses the frames says "cannot record".)
std::string cannotWrite(const std::string& target, const std::string& cause);

// A file that appears at its target path complete or not at all. Writers write to a temporary
// file beside the target (same directory, so the final rename stays on one file system) whose
// name keeps the target's extension, because OpenCV picks the format from it: "clip.avi" is
// written as ".clip.XXXXXX.avi" (see temp_file_lock.h, which also says how runs keep out of each
// other's way). `commit` syncs it and renames it over the target; until then an existing target
// keeps its old content, and a failure leaves at most the hidden temporary file, which `abandon`,
// the destructor, a second stop signal or exit() remove, and which the next run to the same
// target removes should the process have been killed.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { abandon(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates and locks the temporary file for `target`, after checking everything that a rename
  // over the target needs (target_checks.h), and removes dead runs' temporary files of the same
  // target. A target that is a symbolic link is resolved, so that the link stays and the file it
  // points to is replaced. The temporary file gets the target's permissions when the target
  // exists, else those a new file would get. Returns an empty string, or why no file can be
  // written there ("No such file or directory", "Permission denied: ...", "is a directory",
  // "another run is writing it now ...").
  std::string create(const std::string& target);

  // Where the writer writes; empty before `create` and after `commit` or `abandon`.
  const std::string& tempPath() const { return tempPath_; }

  // Appends `size` bytes through the temporary file's own descriptor. Returns an empty string or
  // the system's cause ("No space left on device").
  std::string write(const void* data, std::size_t size);

  // Flushes the temporary file to disk, renames it over the target and syncs the directory.
  // Returns an empty string, or the cause of the failure (the temporary file is then removed).
  std::string commit();

  // Removes the temporary file if it is still there; the target is not touched.
  void abandon();

 private:
  std::string targetPath_;
  std::string tempPath_;
  int fd_ = -1;  // the temporary file, holding its lock until commit or abandon
  TemporaryRegistration registration_;
};
