#pragma once

// The hidden temporary file beside a target, and how runs keep out of each other's way. A live
// run holds a lock (an open file description's write lock, F_OFD_SETLK, on its own descriptor)
// on each of its temporary files from their creation until it renames or removes them; the
// process's end releases it however that comes. So a temporary file of the target's name
// pattern that nobody holds is a dead run's and may go, and one that is held means another run
// writes that target now. On a file system without such locks, nothing is known of other runs:
// the temporary file is made all the same, and no other is removed.

#include <string>

// The temporary file's name is prefix + six random letters or digits + suffix: ".STEM.XXXXXX.EXT"
// for "STEM.EXT", keeping the extension (OpenCV picks the format from it). A stem too long for
// that to fit in `nameMax` bytes is shortened (at a UTF-8 character's start).
struct TempName {
  std::string prefix;  // ".STEM."
  std::string suffix;  // ".EXT", or empty
};
TempName temporaryName(const std::string& targetName, long nameMax);

// Creates a new temporary file in `directory` (mode 0600, close-on-exec) and takes its lock.
// Returns the descriptor, open for reading and writing, with its path in `path`; -1 with errno
// set on failure.
int createLockedTemporary(const std::string& directory, const TempName& name, std::string& path);

// Removes every temporary file of `name` in `directory` that no live process holds, `ownPath`
// excepted. Returns the name of one that a live run holds (that run writes the same target
// now), else an empty string.
std::string clearStaleTemporaries(const std::string& directory, const TempName& name,
                                  const std::string& ownPath);
