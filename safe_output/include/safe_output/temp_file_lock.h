#pragma once

// Where a run keeps an output's temporary file, and how runs keep out of each other's way.
//
// Every temporary file lives in a folder of the program's own beside its target,
// kTemporaryMarker (".retina-partial/", as rsync's --partial-dir), in a subfolder of its own with
// a random name, under exactly the target's name: ".retina-partial/Ab12Cd/run.avi" for
// "run.avi". So the name is unique however long the target's is, keeps its extension (OpenCV
// picks the format from it), and what a killed run leaves is plainly the program's. A live run
// holds an exclusive flock on each of its subfolders from their creation until it has renamed or
// removed what they hold; the process's end releases it however that comes. So a subfolder that
// nobody holds is a dead run's and goes with its files, and one that is held and holds the
// target's name means that another run writes that target now. Nothing outside the folder is
// ever removed, and nothing is taken for a temporary file by the shape of its name. The folder
// goes once it is empty. On a file system without flock nothing is known of other runs: the
// temporary file is made all the same, and nothing is removed.

#include <string>

constexpr char kTemporaryMarker[] = ".retina-partial";  // the folder's name

// One output's subfolder, locked while its descriptor is open.
struct TemporarySlot {
  std::string folder;  // DIRECTORY/.retina-partial
  std::string slot;    // FOLDER/XXXXXX
  std::string path;    // SLOT/NAME
  int slotFd = -1;     // the subfolder, holding its lock
};

// Makes the folder in `directory` if need be (with the directory's permission bits and, for
// root, its owner, so that whoever may write the directory may write there), a new subfolder in
// it, takes the subfolder's lock and creates the file `name` there (mode 0600, close-on-exec).
// Returns the file's descriptor, open for reading and writing; -1 with errno set on failure
// (ENOTDIR: ".retina-partial" there is no folder, or a link to one).
int createLockedTemporary(const std::string& directory, const std::string& name,
                          TemporarySlot& slot);

// Removes the slot's files (`name`, and `extra` when not empty), the subfolder, and the folder
// when nothing else is left in it; then lets the lock go. Async-signal-unsafe (the exit path has
// its own, exit_cleanup.h).
void releaseTemporarySlot(TemporarySlot& slot, const std::string& extra = {});

// Removes every subfolder of the folder in `directory` that no live process holds, with its
// files, `ownSlot` excepted, and the folder once empty. Returns the path of a held subfolder
// that holds `name` (another run writes that target now), else an empty string.
std::string clearStaleTemporaries(const std::string& directory, const std::string& name,
                                  const std::string& ownSlot);

// The same for the target path `target` (after the processes that wrote it were killed).
std::string clearStaleTemporaries(const std::string& target);
