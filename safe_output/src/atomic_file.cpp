#include "safe_output/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "safe_output/target_checks.h"
#include "safe_output/temp_file_lock.h"

namespace {

std::string errnoText() {
  return std::strerror(errno);
}

// Directories refuse fsync on some file systems (EINVAL); that only weakens the durability of
// the rename, not its atomicity.
void syncDirectory(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// The process's file mode creation mask, left as it is: from /proc (Linux 4.7 and later), where
// other threads (a Python host's) may create files meanwhile; else by setting and restoring it.
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

std::string parentOf(const std::string& path) {
  const std::filesystem::path p(path);
  return p.has_parent_path() ? p.parent_path().string() : std::string(".");
}

}  // namespace

std::string AtomicFile::create(const std::string& target) {
  abandon();
  struct stat info {};
  const bool exists = stat(target.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return errnoText();
  // What the name leads to first: a link to a pipe (/dev/stdout in a pipeline) resolves to no
  // path at all.
  if (exists && !S_ISREG(info.st_mode)) return existingTargetProblem(target, info);
  std::string resolved = target;
  struct stat link {};
  if (lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    char* real = exists ? realpath(target.c_str(), nullptr) : nullptr;
    if (real == nullptr) return "a symbolic link to a missing file";
    resolved = real;
    std::free(real);
  }
  std::string problem;
  if (exists) problem = existingTargetProblem(resolved, info);
  const std::string directory = parentOf(resolved);
  if (problem.empty()) problem = directoryProblem(directory, exists ? &info : nullptr);
  if (!problem.empty()) return problem;

  const TempName name =
      temporaryNameIn(directory, std::filesystem::path(resolved).filename().string());
  std::string temp;
  const int fd = createLockedTemporary(directory, name, temp);
  if (fd < 0) return errnoText();
  registration_.hold(temp);
  fd_ = fd;
  tempPath_ = temp;
  targetPath_ = resolved;

  // Own file first, then the others: two runs starting at once each see the other's locked
  // file and both refuse, rather than both writing.
  const std::string held = clearStaleTemporaries(directory, name, temp);
  if (!held.empty()) {
    abandon();
    return "another run is writing it now (it holds the temporary file '" + held + "')";
  }

  // mkostemps creates the file 0600; give it what the target has or a new file would get.
  const mode_t mode = exists ? info.st_mode & 07777 : 0666 & ~currentUmask();
  if (fchmod(fd_, mode) != 0) {
    problem = errnoText();
    abandon();
  }
  return problem;
}

std::string AtomicFile::write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd_, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errnoText();
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return {};
}

std::string AtomicFile::commit() {
  if (tempPath_.empty()) return "nothing was written";
  std::string problem;
  if (fsync(fd_) != 0 || std::rename(tempPath_.c_str(), targetPath_.c_str()) != 0) {
    problem = errnoText();
  }
  if (!problem.empty()) {
    abandon();
    return problem;
  }
  close(fd_);
  fd_ = -1;
  registration_.release();
  tempPath_.clear();
  syncDirectory(parentOf(targetPath_));
  return {};
}

void AtomicFile::abandon() {
  if (tempPath_.empty()) return;
  unlink(tempPath_.c_str());  // while the lock is held: no other run takes the file for its own
  close(fd_);
  fd_ = -1;
  registration_.release();
  tempPath_.clear();
}

std::string cannotWrite(const std::string& target, const std::string& cause) {
  return "cannot write '" + target + "'" + (cause.empty() ? "" : ": " + cause);
}
