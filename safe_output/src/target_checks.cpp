#include "safe_output/target_checks.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::string modeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Root may write anything that has some write bit; a file or directory with none is read-only
// by intent, and the tool keeps to that for root too. Others: what the kernel says.
std::string writeProblem(const std::string& path, const struct stat& info, const char* what) {
  if (geteuid() == 0) {
    if ((info.st_mode & 0222) != 0) return {};
    return std::string("Permission denied: ") + what + " has no write permission (mode " +
           modeText(info.st_mode) + ")";
  }
  const int wanted = S_ISDIR(info.st_mode) ? W_OK | X_OK : W_OK;
  return access(path.c_str(), wanted) == 0 ? std::string() : std::strerror(errno);
}

// "\040" for a space and the like, as /proc/self/mountinfo writes its fields.
std::string unescapeMountField(const std::string& field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string octal = field.substr(i + 1, 3);
      if (octal.find_first_not_of("01234567") == std::string::npos) {
        text += static_cast<char>(std::stoi(octal, nullptr, 8));
        i += 3;
        continue;
      }
    }
    text += field[i];
  }
  return text;
}

// Whether something is mounted at `path`: its absolute path is a fifth field of the mount table.
bool isMountPoint(const std::string& relative) {
  char* absolute = realpath(relative.c_str(), nullptr);
  if (absolute == nullptr) return false;
  const std::string path = absolute;
  std::free(absolute);
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    if (fields >> id >> parent >> device >> root >> mountPoint &&
        unescapeMountField(mountPoint) == path) {
      return true;
    }
  }
  return false;
}

// Why chattr's flags keep a new file from replacing `path`, or from being renamed into it, a
// directory; empty where neither flag is set or the file system has none.
std::string attributeProblem(const std::string& path, bool directory) {
  const int fd =
      open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
  if (fd < 0) return {};
  int flags = 0;  // the kernel reads and writes an int, whatever the macro's type says
  const bool known = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  close(fd);
  const std::string what = directory ? "its directory is " : "it is ";
  if (known && (flags & FS_IMMUTABLE_FL) != 0) {
    return "Operation not permitted: " + what + "immutable (chattr +i)";
  }
  if (known && (flags & FS_APPEND_FL) != 0) {
    return "Operation not permitted: " + what + "append-only (chattr +a)";
  }
  return {};
}

bool sameFile(const struct stat& a, int fd) {
  struct stat b {};
  return fstat(fd, &b) == 0 && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::string existingTargetProblem(const std::string& path, const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return "is a directory";
  // Renaming over a device, a pipe or a socket would replace the node itself.
  if (!S_ISREG(info.st_mode)) return "is not a regular file";
  // Say /dev/stdout, or a link to it, with standard output appended to a log: renaming a new
  // file over the log would lose it.
  if (sameFile(info, STDOUT_FILENO)) return "it is the file standard output writes to";
  if (sameFile(info, STDERR_FILENO)) return "it is the file standard error writes to";
  std::string problem = writeProblem(path, info, "the file");
  if (problem.empty()) problem = attributeProblem(path, false);
  if (problem.empty() && isMountPoint(path)) {
    problem = "it is a mount point (a file mounted there), which a new file cannot be renamed over";
  }
  return problem;
}

std::string standardStreamInputProblem(const struct stat& info) {
  const char* stream = sameFile(info, STDOUT_FILENO)   ? "output"
                       : sameFile(info, STDERR_FILENO) ? "error"
                                                       : nullptr;
  if (stream == nullptr) return {};
  return std::string("it is the file standard ") + stream +
         " writes to, which a '>' redirection empties before the program starts; send that "
         "stream to another file";
}

std::string resolvedPath(const std::string& path) {
  namespace fs = std::filesystem;
  const auto real = [](const std::string& name, std::string& resolved) {
    char* text = realpath(name.c_str(), nullptr);
    if (text == nullptr) return false;
    resolved = text;
    std::free(text);
    return true;
  };
  std::string resolved;
  if (path.empty() || real(path, resolved)) return path.empty() ? path : resolved;
  const fs::path p(path);
  if (real(p.has_parent_path() ? p.parent_path().string() : ".", resolved)) {
    return (fs::path(resolved) / p.filename()).string();
  }
  std::error_code error;
  const fs::path absolute = fs::absolute(p, error);
  return error ? path : absolute.string();
}

std::string fileIdentity(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  return resolvedPath(path);
}

std::string directoryProblem(const std::string& directory, const struct stat* target) {
  struct stat info {};
  if (stat(directory.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return std::strerror(ENOTDIR);
  std::string problem = writeProblem(directory, info, "its directory");
  if (problem.empty()) problem = attributeProblem(directory, true);
  const uid_t user = geteuid();
  if (problem.empty() && target != nullptr && (info.st_mode & S_ISVTX) != 0 && user != 0 &&
      user != info.st_uid && user != target->st_uid) {
    problem = "Operation not permitted: its directory is sticky (mode " + modeText(info.st_mode) +
              "), so only the file's owner may replace it";
  }
  return problem;
}
