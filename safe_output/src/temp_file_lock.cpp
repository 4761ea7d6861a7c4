#include "safe_output/temp_file_lock.h"

#include <cerrno>
#include <filesystem>
#include <random>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kSlotNameLength = 6;  // letters and digits: 62^6 names
constexpr int kCreateAttempts = 16;

// A descriptor, closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::string randomName() {
  static constexpr char kCharacters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device source;
  std::string name;
  for (std::size_t i = 0; i < kSlotNameLength; ++i)
    name += kCharacters[source() % (sizeof kCharacters - 1)];
  return name;
}

// The lock failed because another holds it, rather than because the file system has no flock.
bool heldElsewhere() {
  return errno == EWOULDBLOCK;
}

// Whether `fd` is still the entry `name` of the folder `folder` (no other run removed it).
bool stillNamed(int fd, int folder, const std::string& name) {
  struct stat opened {
  }, named{};
  return fstat(fd, &opened) == 0 &&
         fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

std::vector<std::string> entriesOf(int folder) {
  std::vector<std::string> names;
  DIR* listing = fdopendir(dup(folder));
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(listing);
  return names;
}

// The folder of the directory `directory`, made if need be; -1 with errno set.
int openFolder(int directory) {
  struct stat parent {};
  if (fstat(directory, &parent) != 0) return -1;
  const bool made = mkdirat(directory, kTemporaryMarker, 0700) == 0;
  if (!made && errno != EEXIST) return -1;
  Descriptor folder(
      openat(directory, kTemporaryMarker, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) {
    if (errno == ELOOP) errno = ENOTDIR;  // a symbolic link: the program's folder is none
    return -1;
  }
  struct stat info {};
  if (fstat(folder.get(), &info) != 0) return -1;
  // Something mounted there: a rename from it to the target would fail.
  if (info.st_dev != parent.st_dev) {
    errno = EXDEV;
    return -1;
  }
  if (made) {
    if (geteuid() == 0) (void)fchown(folder.get(), parent.st_uid, parent.st_gid);
    (void)fchmod(folder.get(), parent.st_mode & (S_ISGID | S_ISVTX | 0777));
  }
  return folder.release();
}

}  // namespace

int createLockedTemporary(const std::string& directory, const std::string& name,
                          TemporarySlot& slot) {
  const Descriptor parent(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (parent.get() < 0) return -1;
  // Another run may remove the folder once it is empty, or take a new subfolder for a dead
  // run's before its lock is taken: then again.
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    const Descriptor folder(openFolder(parent.get()));
    if (folder.get() < 0 && errno == ENOENT) continue;
    if (folder.get() < 0) return -1;
    const std::string slotName = randomName();
    if (mkdirat(folder.get(), slotName.c_str(), 0700) != 0) {
      if (errno == EEXIST || errno == ENOENT) continue;
      return -1;
    }
    Descriptor slotFd(
        openat(folder.get(), slotName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (slotFd.get() < 0) continue;
    if (flock(slotFd.get(), LOCK_EX | LOCK_NB) != 0 && heldElsewhere()) continue;
    if (!stillNamed(slotFd.get(), folder.get(), slotName)) continue;
    const int fd = openat(slotFd.get(), name.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      const int error = errno;
      unlinkat(folder.get(), slotName.c_str(), AT_REMOVEDIR);
      errno = error;
      return -1;
    }
    slot.folder = directory + "/" + kTemporaryMarker;
    slot.slot = slot.folder + "/" + slotName;
    slot.path = slot.slot + "/" + name;
    slot.slotFd = slotFd.release();
    return fd;
  }
  errno = EBUSY;
  return -1;
}

void releaseTemporarySlot(TemporarySlot& slot, const std::string& extra) {
  if (slot.slotFd < 0) return;
  unlinkat(slot.slotFd, std::filesystem::path(slot.path).filename().c_str(), 0);
  if (!extra.empty()) unlinkat(slot.slotFd, extra.c_str(), 0);
  rmdir(slot.slot.c_str());
  rmdir(slot.folder.c_str());  // fails while other runs' subfolders are there
  close(slot.slotFd);          // the lock last: no other run touches the subfolder meanwhile
  slot = TemporarySlot{};
}

std::string clearStaleTemporaries(const std::string& directory, const std::string& name,
                                  const std::string& ownSlot) {
  const std::string folderPath = directory + "/" + kTemporaryMarker;
  const Descriptor folder(
      open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) return {};
  std::string held;
  for (const std::string& entry : entriesOf(folder.get())) {
    const std::string slotPath = folderPath + "/" + entry;
    if (slotPath == ownSlot) continue;
    // Only subfolders are the program's; anything else there is left alone.
    const Descriptor slot(
        openat(folder.get(), entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (slot.get() < 0) continue;
    // Shared: two runs clearing at once do not take each other for writers.
    if (flock(slot.get(), LOCK_SH | LOCK_NB) != 0) {
      struct stat info {};
      if (heldElsewhere() && fstatat(slot.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        held = slotPath;
        break;
      }
    } else if (stillNamed(slot.get(), folder.get(), entry)) {
      for (const std::string& file : entriesOf(slot.get()))
        unlinkat(slot.get(), file.c_str(), 0);
      unlinkat(folder.get(), entry.c_str(), AT_REMOVEDIR);
    }
  }
  rmdir(folderPath.c_str());  // once empty
  return held;
}

std::string clearStaleTemporaries(const std::string& target) {
  const std::filesystem::path path(target);
  const std::string directory = path.has_parent_path() ? path.parent_path().string() : ".";
  return clearStaleTemporaries(directory, path.filename().string(), "");
}
