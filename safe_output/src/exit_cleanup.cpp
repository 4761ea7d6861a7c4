#include "safe_output/exit_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <utility>

#include <unistd.h>

// The run that exit() finishes, and the thread it runs on.
struct RunFinisher {
  std::function<int()> finish;
  std::thread::id owner;
};

// One registered temporary file. Entries are never freed nor reused: a signal handler on another
// thread may be reading one, and a reused entry could hand it a half-written path. A run
// registers one per output (some 400 bytes each with its paths), so a process that runs many (a
// batch worker) keeps some 400 kilobytes per thousand runs.
struct TemporaryEntry {
  // Set before the entry is published, never changed.
  std::vector<std::string> files;
  std::vector<std::string> folders;
  std::atomic<bool> live{true};
  TemporaryEntry* next = nullptr;
};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free &&
                  std::atomic<TemporaryEntry*>::is_always_lock_free,
              "the signal handler reads these");

std::atomic<TemporaryEntry*> registered{nullptr};

std::atomic<RunFinisher*> active{nullptr};
std::atomic<bool> exiting{false};

void onExit(int /*status*/, void*) {
  if (exiting.exchange(true)) return;  // registered more than once: act on the first call only
  const RunFinisher* finisher = active.exchange(nullptr);
  if (finisher != nullptr && std::this_thread::get_id() == finisher->owner) {
    int status = 1;  // what a failure to finish says
    try {
      status = finisher->finish();
    } catch (...) {
      // Nothing may leave an exit handler; the temporary files go below all the same.
    }
    removeTemporariesNow();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
  }
  removeTemporariesNow();
}

void registerExitHandler() {
  on_exit(onExit, nullptr);
}

}  // namespace

void TemporaryRegistration::hold(std::vector<std::string> files, std::vector<std::string> folders) {
  release();
  static const bool handlerRegistered = (registerExitHandler(), true);
  (void)handlerRegistered;
  auto* entry = new TemporaryEntry;
  entry->files = std::move(files);
  entry->folders = std::move(folders);
  entry->next = registered.load();
  while (!registered.compare_exchange_weak(entry->next, entry)) {
  }
  entry_ = entry;
}

void TemporaryRegistration::release() {
  if (entry_ != nullptr) entry_->live = false;
  entry_ = nullptr;
}

void removeTemporariesNow() {
  for (TemporaryEntry* entry = registered.load(); entry != nullptr; entry = entry->next) {
    if (!entry->live.exchange(false)) continue;
    for (const std::string& file : entry->files)
      unlink(file.c_str());
    for (const std::string& folder : entry->folders)
      rmdir(folder.c_str());
  }
}

ExitFinisher::ExitFinisher(std::function<int()> finish)
    : own_(new RunFinisher{std::move(finish), std::this_thread::get_id()}) {
  active = own_;
  runBeforeLaterTeardowns();
}

ExitFinisher::~ExitFinisher() {
  RunFinisher* expected = own_;
  active.compare_exchange_strong(expected, nullptr);  // unless a newer one has taken its place
  delete own_;
}

void ExitFinisher::runBeforeLaterTeardowns() {
  registerExitHandler();
}
