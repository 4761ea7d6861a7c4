#include "tools/replay/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string errnoText() {
  return std::strerror(errno);
}

// fsync on a descriptor opened read-only: Linux flushes the file's data and metadata whatever
// the descriptor's access mode. Directories refuse fsync on some file systems (EINVAL); that
// only weakens the durability of the rename, not its atomicity, so it is not a failure.
std::string syncPath(const std::string& path, bool directory) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
  if (fd < 0) return errnoText();
  std::string problem;
  if (fsync(fd) != 0 && !(directory && (errno == EINVAL || errno == EROFS))) {
    problem = errnoText();
  }
  close(fd);
  return problem;
}

}  // namespace

std::string AtomicFile::create(const std::string& target) {
  abandon();
  namespace fs = std::filesystem;
  std::string resolved = target;
  struct stat info {};
  if (lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    char* real = realpath(target.c_str(), nullptr);
    if (real == nullptr) return "a symbolic link to a missing file";
    resolved = real;
    std::free(real);
  }

  const bool exists = stat(resolved.c_str(), &info) == 0;
  if (exists) {
    if (S_ISDIR(info.st_mode)) return "is a directory";
    // Renaming over a device, a pipe or a socket would replace the node itself.
    if (!S_ISREG(info.st_mode)) return "is not a regular file";
    if (access(resolved.c_str(), W_OK) != 0) return errnoText();
  } else if (errno != ENOENT) {
    return errnoText();
  }

  const fs::path path(resolved);
  const std::string name = path.filename().string();
  std::string extension = path.extension().string();  // ".avi"; empty for ".avi" alone
  const std::string stem = name.substr(0, name.size() - extension.size());
  const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::string pattern = (directory / ("." + stem + ".XXXXXX" + extension)).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = mkostemps(buffer.data(), static_cast<int>(extension.size()), O_CLOEXEC);
  if (fd < 0) return errnoText();

  // mkostemps creates the file 0600; give it what the target has or a new file would get.
  // umask can only be read by setting it; this runs before the run starts any thread.
  mode_t mode = 0;
  if (exists) {
    mode = info.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  std::string problem;
  if (fchmod(fd, mode) != 0) problem = errnoText();
  close(fd);
  tempPath_ = buffer.data();
  targetPath_ = resolved;
  if (!problem.empty()) abandon();
  return problem;
}

std::string AtomicFile::commit() {
  if (tempPath_.empty()) return "nothing was written";
  std::string problem = syncPath(tempPath_, false);
  if (problem.empty() && std::rename(tempPath_.c_str(), targetPath_.c_str()) != 0) {
    problem = errnoText();
  }
  if (!problem.empty()) {
    abandon();
    return problem;
  }
  tempPath_.clear();
  // The file is in place; a directory that cannot be synced only makes the rename less durable.
  const std::filesystem::path target(targetPath_);
  syncPath(target.has_parent_path() ? target.parent_path().string() : ".", true);
  return {};
}

void AtomicFile::abandon() {
  if (tempPath_.empty()) return;
  unlink(tempPath_.c_str());
  tempPath_.clear();
}
