#pragma once

// The hidden temporary file beside a target, and how runs keep out of each other's way. A live
// run holds a lock (an open file description's write lock, F_OFD_SETLK, on its own descriptor)
// on each of its temporary files from their creation until it renames or removes them; the
// process's end releases it however that comes. So a temporary file of the target's name
// pattern that nobody holds is a dead run's and may go, and one that is held means another run
// writes that target now. On a file system without such locks, nothing is known of other runs:
// the temporary file is made all the same, and no other is removed.

#include <string>

// The temporary file's name is prefix + six random letters or digits + suffix:
// ".STEM.retina-partial-XXXXXX.EXT" for "STEM.EXT", keeping the extension (OpenCV picks the
// format from it). The marker keeps a user's own hidden files (".run.backup.avi") from ever
// being taken for a dead run's. A stem too long for the name to fit in `nameMax` bytes is
// shortened (at a UTF-8 character's start).
constexpr char kTemporaryMarker[] = "retina-partial-";
struct TempName {
  std::string prefix;  // ".STEM.retina-partial-"
  std::string suffix;  // ".EXT", or empty
};
TempName temporaryName(const std::string& targetName, long nameMax);
// The same for the file `targetName` in `directory`, with the directory's own name limit.
TempName temporaryNameIn(const std::string& directory, const std::string& targetName);

// Creates a new temporary file in `directory` (mode 0600, close-on-exec) and takes its lock.
// Returns the descriptor, open for reading and writing, with its path in `path`; -1 with errno
// set on failure.
int createLockedTemporary(const std::string& directory, const TempName& name, std::string& path);

// Removes every temporary file of `name` in `directory` that no live process holds, `ownPath`
// excepted. Returns the name of one that a live run holds (that run writes the same target
// now), else an empty string.
std::string clearStaleTemporaries(const std::string& directory, const TempName& name,
                                  const std::string& ownPath);

// The same for the target path `target` (after the processes that wrote it were killed).
std::string clearStaleTemporaries(const std::string& target);
