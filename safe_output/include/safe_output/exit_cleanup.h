#pragma once

// What becomes of a run's files when the process ends without returning from the run: a stop
// signal before the run has started or while its outputs are being finished (the signal handler
// removes the temporary files and ends the process at once), or a library that calls exit() in
// the middle of the run (Qt's window back-end does when its X connection breaks). Process-wide by
// nature: signal and exit handlers reach only globals.

#include <functional>
#include <string>
#include <vector>

// A temporary file to remove should the process end before its owner commits or abandons it:
// its files, then the folders that held them, each once empty. Registration allocates; removal of
// every registered file is async-signal-safe.
class TemporaryRegistration {
 public:
  TemporaryRegistration() = default;
  ~TemporaryRegistration() { release(); }
  TemporaryRegistration(const TemporaryRegistration&) = delete;
  TemporaryRegistration& operator=(const TemporaryRegistration&) = delete;

  void hold(std::vector<std::string> files, std::vector<std::string> folders = {});
  void release();  // the owner has renamed or removed the file

 private:
  struct TemporaryEntry* entry_ = nullptr;
};

// Unlinks every registered temporary file and removes its folders once empty. Async-signal-safe:
// for signal handlers and exit.
void removeTemporariesNow();

// While it lives, a call of exit() on the thread that created it (a library ending the process
// in the middle of the run) first runs `finish`, which completes the run as a stop would and
// returns the exit status; the process then ends with that status at once, without the rest of
// exit's handlers. exit() on any other thread, or without a finisher, only removes the
// registered temporary files. Several may live at once (runs on several threads of one process);
// exit() finishes the one made last, if it still lives.
class ExitFinisher {
 public:
  explicit ExitFinisher(std::function<int()> finish);
  ~ExitFinisher();
  ExitFinisher(const ExitFinisher&) = delete;
  ExitFinisher& operator=(const ExitFinisher&) = delete;

  // Exit handlers run last registered first. Call this once a library that may call exit() has
  // registered its own exit-time teardown (the window toolkit, at its first window), so that the
  // run is finished before the toolkit takes itself apart.
  void runBeforeLaterTeardowns();

 private:
  struct RunFinisher* own_;
};
