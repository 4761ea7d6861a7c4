#pragma once

// What can be known before a run about replacing an output's target by renaming a new file over
// it, for everyone, root included: root's access() says yes to every file, and a rename fails
// where the checks of a plain open would pass (a sticky directory, a mount point).

#include <string>

#include <sys/stat.h>

// Why the existing file `info` (stat, links followed) at `path` (links resolved) cannot be
// replaced, or an empty string. Refused: a directory or any other non-regular file; the file
// behind standard output or standard error; a file without write permission (for root: one
// without any write bit); an immutable or append-only file (chattr +i, +a); a mount point (a file
// bind-mounted there: renaming onto it fails).
std::string existingTargetProblem(const std::string& path, const struct stat& info);

// `path` as the file system resolves it, not as its text reads ("d/../x" is not "x" when d is a
// symbolic link to a directory elsewhere): the real path of an existing file, every link and ".."
// taken as an open takes them; else the real path of its directory and its own name; where the
// directory does not exist either, the path made absolute as it stands.
std::string resolvedPath(const std::string& path);

// Why the file `info` (fstat of an input about to be read) must not be read as one of a run's
// inputs, or an empty string: the file behind standard output or standard error, which the run
// writes, and which a shell's '>' emptied before the program started.
std::string standardStreamInputProblem(const struct stat& info);

// One key per file, whatever name it goes by: its device and inode when it exists, else its
// resolvedPath. Two targets with one key are one file.
std::string fileIdentity(const std::string& path);

// Why no new file can be created and renamed in `directory`, or an empty string: a missing
// directory, one without write permission (for root: one without any write bit), or an immutable
// or append-only one (chattr +i, +a: no file in it can be replaced or removed). With
// `target` (the existing file to replace, or null), also a sticky directory in which neither the
// directory nor the file belongs to this user, where only they may replace it.
std::string directoryProblem(const std::string& directory, const struct stat* target);
