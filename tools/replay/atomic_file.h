#pragma once

#include <string>

// A file that appears at its target path complete or not at all. Writers write to a temporary
// file beside the target (same directory, so the final rename stays on one file system) whose
// name keeps the target's extension, because OpenCV picks the format from it: "clip.avi" is
// written as ".clip.XXXXXX.avi". `commit` syncs it and renames it over the target; until then an
// existing target keeps its old content, and a failure or crash leaves at most the hidden
// temporary file, which `abandon` and the destructor remove.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { abandon(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file for `target`. A target that is a symbolic link is resolved, so
  // that the link stays and the file it points to is replaced. The temporary file gets the
  // target's permissions when the target exists, else those a new file would get. Returns an
  // empty string, or why no file can be written there ("No such file or directory",
  // "Permission denied", "is a directory", ...).
  std::string create(const std::string& target);

  // Where the writer writes; empty before `create` and after `commit` or `abandon`.
  const std::string& tempPath() const { return tempPath_; }
  // The path that `commit` replaces: the target with symbolic links resolved.
  const std::string& targetPath() const { return targetPath_; }

  // Flushes the temporary file to disk, renames it over the target and syncs the directory.
  // Returns an empty string, or the cause of the failure (the temporary file is then removed).
  std::string commit();

  // Removes the temporary file if it is still there; the target is not touched.
  void abandon();

 private:
  std::string targetPath_;
  std::string tempPath_;
};
