#include "safe_output/temp_file_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kRandomLength = 6;  // mkostemps' XXXXXX
constexpr long kDefaultNameMax = 255;     // what POSIX file systems allow
constexpr int kCreateAttempts = 8;

// A lock of the whole file through the descriptor's open file description: unlike a process's
// fcntl lock it survives another descriptor of the file being closed (the writers open the file
// by name themselves), and it is not HDF5's flock.
bool lockFile(int fd, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// The lock failed because another holds it, rather than because the file system has no such
// locks (then nothing can be known of other runs, and nothing is removed).
bool heldElsewhere() {
  return errno == EAGAIN || errno == EACCES;
}

bool sameFile(int fd, const std::string& path) {
  struct stat opened {
  }, named{};
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool randomCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool matches(const std::string& entry, const TempName& name) {
  const std::size_t length = name.prefix.size() + kRandomLength + name.suffix.size();
  if (entry.size() != length || entry.compare(0, name.prefix.size(), name.prefix) != 0 ||
      entry.compare(length - name.suffix.size(), name.suffix.size(), name.suffix) != 0) {
    return false;
  }
  for (std::size_t i = name.prefix.size(); i < name.prefix.size() + kRandomLength; ++i)
    if (!randomCharacter(entry[i])) return false;
  return true;
}

}  // namespace

TempName temporaryName(const std::string& targetName, long nameMax) {
  const std::size_t dot = targetName.rfind('.');
  // ".avi" alone has no extension, as for std::filesystem.
  const bool hasExtension = dot != std::string::npos && dot > 0;
  TempName name;
  name.suffix = hasExtension ? targetName.substr(dot) : std::string();
  std::string stem = targetName.substr(0, targetName.size() - name.suffix.size());
  // '.' + stem + '.' + marker + XXXXXX + suffix
  const std::size_t fixed = 2 + std::strlen(kTemporaryMarker) + kRandomLength + name.suffix.size();
  const std::size_t room =
      nameMax > static_cast<long>(fixed) ? static_cast<std::size_t>(nameMax) - fixed : 0;
  if (stem.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80)
      --cut;
    stem.resize(cut);
  }
  name.prefix = "." + stem + "." + kTemporaryMarker;
  return name;
}

TempName temporaryNameIn(const std::string& directory, const std::string& targetName) {
  long nameMax = pathconf(directory.c_str(), _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = kDefaultNameMax;
  return temporaryName(targetName, nameMax);
}

int createLockedTemporary(const std::string& directory, const TempName& name, std::string& path) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    std::string pattern =
        directory + "/" + name.prefix + std::string(kRandomLength, 'X') + name.suffix;
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkostemps(buffer.data(), static_cast<int>(name.suffix.size()), O_CLOEXEC);
    if (fd < 0) return -1;
    path = buffer.data();
    // A run clearing stale files may have taken the new file for a dead run's between its
    // creation and this lock: then the lock fails, or the name is gone. Either way, again.
    const bool locked = lockFile(fd, F_WRLCK);
    if ((locked || !heldElsewhere()) && sameFile(fd, path)) return fd;
    const int error = errno;
    if (sameFile(fd, path)) unlink(path.c_str());
    close(fd);
    errno = error;
  }
  errno = EBUSY;
  return -1;
}

std::string clearStaleTemporaries(const std::string& directory, const TempName& name,
                                  const std::string& ownPath) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return {};
  std::vector<std::string> candidates;
  while (const dirent* entry = readdir(listing)) {
    if (matches(entry->d_name, name)) candidates.push_back(entry->d_name);
  }
  closedir(listing);

  std::string held;
  for (const std::string& candidate : candidates) {
    const std::string path = directory + "/" + candidate;
    if (path == ownPath) continue;
    // Non-blocking: a FIFO of that name must not stall the run; it is not a temporary file.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
      if (!lockFile(fd, F_RDLCK)) {
        if (heldElsewhere()) held = candidate;
      } else if (sameFile(fd, path)) {
        unlink(path.c_str());  // held meanwhile: no run can take it up again
      }
    }
    close(fd);
    if (!held.empty()) break;
  }
  return held;
}

std::string clearStaleTemporaries(const std::string& target) {
  const std::filesystem::path path(target);
  const std::string directory = path.has_parent_path() ? path.parent_path().string() : ".";
  return clearStaleTemporaries(directory, temporaryNameIn(directory, path.filename().string()), "");
}
