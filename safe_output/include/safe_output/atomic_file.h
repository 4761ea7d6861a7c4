#pragma once

#include <cstddef>
#include <string>

#include "safe_output/exit_cleanup.h"
#include "safe_output/temp_file_lock.h"

// An output that cannot be written, in one wording: "cannot write 'TARGET': CAUSE", or without
// ": CAUSE" when there is none. (A recorder that refuses the frames says "cannot record".)
std::string cannotWrite(const std::string& target, const std::string& cause);

// How a writer writes the temporary file.
enum class TemporaryKind {
  // By its name (HDF5, which refuses /proc/self/fd/N; OpenCV's writers, which choose the format
  // by the extension): the file ".retina-partial/XXXXXX/NAME" beside the target (see
  // temp_file_lock.h).
  named,
  // Through the descriptor only (write(), descriptor()): a file without a name (O_TMPFILE) in
  // the target's directory, which gets one only when complete, at commit; where the file system
  // refuses O_TMPFILE, the named file as above.
  anonymous,
};

// A file that appears at its target path complete or not at all. Writers write to a temporary
// file in the target's directory (so that the final rename stays on one file system). `commit`
// syncs it and renames it over the target; until then an existing target keeps its old content,
// and a failure leaves at most the run's own subfolder of ".retina-partial", which `abandon`, the
// destructor, a second stop signal or exit() remove, and which the next run in that directory
// removes should the process have been killed.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { abandon(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates and locks the temporary file for `target`, after checking everything that a rename
  // over the target needs (target_checks.h), and removes dead runs' temporary files in the
  // target's directory. A target that is a symbolic link is resolved, so that the link stays and
  // the file it points to is replaced. The temporary file gets the target's owner, group and
  // permission bits (not setuid, setgid or sticky) when the target exists, else what a new file
  // would get. Returns an empty string, or why no file can be written there ("No such file or
  // directory", "Permission denied: ...", "is a directory", "another run is writing it now ...").
  std::string create(const std::string& target, TemporaryKind kind = TemporaryKind::named);

  // Where a named writer writes; empty for a file without a name, before `create` and after
  // `commit` or `abandon`.
  const std::string& tempPath() const { return tempPath_; }
  // The temporary file's descriptor, open for reading and writing; -1 when there is none.
  int descriptor() const { return fd_; }

  // Appends `size` bytes through the temporary file's own descriptor. Returns an empty string or
  // the system's cause ("No space left on device").
  std::string write(const void* data, std::size_t size);

  // Flushes the temporary file to disk, names it (a file without a name) and renames it over the
  // target, and syncs the directory. Returns an empty string, or the cause of the failure (the
  // temporary file is then removed).
  std::string commit();

  // Removes the temporary file if it is still there; the target is not touched.
  void abandon();

 private:
  std::string targetPath_;
  std::string tempPath_;
  int fd_ = -1;           // the temporary file
  bool unnamed_ = false;  // fd_ is an O_TMPFILE; the slot's file only marks the target
  TemporarySlot slot_;    // the subfolder, holding its lock until commit or abandon
  TemporaryRegistration registration_;
};
