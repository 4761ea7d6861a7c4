#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// One output file written under a temporary name beside its target (".<name>.XXXXXX" in the
// same directory, so that the rename stays on one file system) and renamed over the target only
// once complete: the target is always either the user's old file or the whole new one. Only the
// temporary file is ever removed, and only while it is still the one this object created (same
// device and inode).
class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();  // discards a temporary file that was never committed

  // Refuses a target that is one of `inputs` (the same file by device and inode, so a symbolic or
  // hard link to an input is refused too), an existing directory, device or other non-regular
  // file, a read-only file, or one in a directory where no file can be created. Otherwise creates
  // the temporary file with the permissions a new file gets (0666 less the umask) and keeps it
  // open. Returns an empty string, or "cannot write '<target>': <cause>".
  std::string create(const std::string& target, const std::vector<std::string>& inputs);

  int fd() const { return fd_; }  // the temporary file, open for writing; -1 before create
  const std::string& tempPath() const { return temp_; }
  const std::string& target() const { return target_; }

  // Flushes the temporary file to the disk, closes it and renames it over the target. Returns an
  // empty string, or the message (the temporary file is then removed).
  std::string commit();

  // Closes and removes the temporary file if it is still this object's. Safe to call again.
  void discard();

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool pending_ = false;  // a temporary file exists that commit or discard has not handled yet
};
