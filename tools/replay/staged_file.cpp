#include "tools/replay/staged_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The process's umask as the kernel reports it; reading it this way leaves it untouched (umask(2)
// can only be read by setting it, which would race with any other thread creating files).
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtol(&line[6], nullptr, 8));
  }
  return 022;
}

std::string withCause(const std::string& target, const std::string& cause) {
  return "cannot write '" + target + "': " + cause;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

StagedFile::~StagedFile() {
  discard();
}

std::string StagedFile::create(const std::string& target, const std::vector<std::string>& inputs) {
  discard();
  target_ = target;
  struct stat existing {};
  if (stat(target.c_str(), &existing) == 0) {
    for (const std::string& input : inputs) {
      struct stat in {};
      if (!input.empty() && stat(input.c_str(), &in) == 0 && sameFile(in, existing)) {
        return withCause(target, "it is the input '" + input + "'");
      }
    }
    if (S_ISDIR(existing.st_mode)) return withCause(target, "it is a directory");
    if (!S_ISREG(existing.st_mode)) return withCause(target, "it is not a regular file");
    if (access(target.c_str(), W_OK) != 0) return withCause(target, "the file is read-only");
  }

  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string pattern = dir + (slash == std::string::npos ? "/." : ".") + name + ".XXXXXX";
  const int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    return withCause(target, "cannot create a file in '" + dir + "': " + std::strerror(errno));
  }
  struct stat created {};
  fstat(fd, &created);
  fchmod(fd, 0666 & ~currentUmask());  // mkstemp's 0600 would stay on the renamed file
  fd_ = fd;
  temp_ = pattern;
  device_ = created.st_dev;
  inode_ = created.st_ino;
  pending_ = true;
  return {};
}

std::string StagedFile::commit() {
  if (!pending_) return withCause(target_, "nothing was written");
  std::string problem;
  if (fsync(fd_) != 0) problem = std::strerror(errno);
  if (close(fd_) != 0 && problem.empty()) problem = std::strerror(errno);
  fd_ = -1;
  if (problem.empty() && rename(temp_.c_str(), target_.c_str()) != 0) {
    problem = std::strerror(errno);
  }
  if (!problem.empty()) {
    discard();
    return withCause(target_, problem);
  }
  pending_ = false;
  return {};
}

void StagedFile::discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!pending_) return;
  pending_ = false;
  // Someone may have replaced the temporary name meanwhile; their file stays.
  struct stat now {};
  if (lstat(temp_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_) {
    unlink(temp_.c_str());
  }
}
