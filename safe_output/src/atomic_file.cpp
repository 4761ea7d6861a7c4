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

std::string nameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// The name a file without one gets in its subfolder at commit, before the rename over the
// target: one character, other than the target's name that marks the subfolder.
std::string linkName(const TemporarySlot& slot) {
  return nameOf(slot.path) == "#" ? "%" : "#";
}

// A file without a name in `directory`; -1 where the file system or the kernel has no O_TMPFILE,
// or where nothing could name it at commit (no /proc, and not root).
int openUnnamed(const std::string& directory) {
  if (geteuid() != 0 && access("/proc/self/fd", X_OK) != 0) return -1;
  return open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// Names the file without a name behind `fd` `name` in the folder `folder`: directly with the
// capability to (CAP_DAC_READ_SEARCH), else through /proc.
bool nameUnnamed(int fd, int folder, const std::string& name) {
  if (linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return true;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

std::string AtomicFile::create(const std::string& target, TemporaryKind kind) {
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

  const std::string name = nameOf(resolved);
  const int fd = createLockedTemporary(directory, name, slot_);
  if (fd < 0 && errno == ENOTDIR) {
    return std::string("'") + kTemporaryMarker +
           "' there, where runs keep their temporary files, is not a folder";
  }
  if (fd < 0) return errnoText();
  fd_ = fd;
  targetPath_ = resolved;
  registration_.hold({slot_.path, slot_.slot + "/" + linkName(slot_)}, {slot_.slot, slot_.folder});

  // Own subfolder first, then the others: two runs starting at once each see the other's and
  // both refuse, rather than both writing.
  const std::string held = clearStaleTemporaries(directory, name, slot_.slot);
  if (!held.empty()) {
    abandon();
    return "another run is writing it now (it holds '" + held + "')";
  }
  if (kind == TemporaryKind::anonymous) {
    const int unnamed = openUnnamed(directory);
    if (unnamed >= 0) {
      close(fd_);  // the slot's empty file stays, the mark that this run writes the target
      fd_ = unnamed;
      unnamed_ = true;
    }
  }
  if (!unnamed_) tempPath_ = slot_.path;

  // The temporary file is made 0600 and belongs to this run's user. A replaced file keeps its
  // owner and group where this run may give them (root: always; others: a group of their own),
  // and its permissions but never setuid, setgid or sticky bits (chown would clear the first two
  // anyway). A new file gets what open() would give it.
  if (exists && fchown(fd_, info.st_uid, info.st_gid) != 0) {
    (void)fchown(fd_, static_cast<uid_t>(-1), info.st_gid);
  }
  const mode_t mode = exists ? info.st_mode & 0777 : 0666 & ~currentUmask();
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
  if (slot_.slotFd < 0) return "nothing was written";
  const std::string from = unnamed_ ? linkName(slot_) : nameOf(slot_.path);
  std::string problem;
  if (fsync(fd_) != 0 || (unnamed_ && !nameUnnamed(fd_, slot_.slotFd, from)) ||
      renameat(slot_.slotFd, from.c_str(), AT_FDCWD, targetPath_.c_str()) != 0) {
    problem = errnoText();
  }
  abandon();  // what is left of the subfolder, and the folder when it is empty
  if (problem.empty()) syncDirectory(parentOf(targetPath_));
  return problem;
}

void AtomicFile::abandon() {
  if (slot_.slotFd < 0) return;
  // While the lock is held: no other run takes the files for a dead run's meanwhile.
  releaseTemporarySlot(slot_, linkName(slot_));
  close(fd_);
  fd_ = -1;
  unnamed_ = false;
  registration_.release();
  tempPath_.clear();
}

std::string cannotWrite(const std::string& target, const std::string& cause) {
  return "cannot write '" + target + "'" + (cause.empty() ? "" : ": " + cause);
}
