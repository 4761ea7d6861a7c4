#include "safe_output/exit_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include <unistd.h>

// The run that exit() finishes, and the thread it runs on.
struct RunFinisher {
  std::function<int()> finish;
  std::thread::id owner;
};

// One registered file. Entries are never freed nor reused: a signal handler on another thread
// may be reading one, and a reused entry could hand it a half-written path. A run registers one
// per output (some 100 bytes each), so a process that runs many (a batch worker) keeps a few
// hundred kilobytes per thousand runs.
struct TemporaryEntry {
  std::string path;  // set before the entry is published, never changed
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

void TemporaryRegistration::hold(const std::string& path) {
  release();
  static const bool handlerRegistered = (registerExitHandler(), true);
  (void)handlerRegistered;
  auto* entry = new TemporaryEntry;
  entry->path = path;
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
    if (entry->live.exchange(false)) unlink(entry->path.c_str());
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
