#include "tools/safe_output/exit_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include <unistd.h>

// One registered file. Entries are never freed nor reused: a signal handler on another thread
// may be reading one, and a reused entry could hand it a half-written path. A run registers a
// handful.
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

struct ActiveFinisher {
  std::atomic<const std::function<int()>*> finish{nullptr};
  std::thread::id owner;
};
ActiveFinisher active;
std::atomic<bool> exiting{false};

void onExit(int /*status*/, void*) {
  if (exiting.exchange(true)) return;  // registered more than once: act on the first call only
  const std::function<int()>* finish = active.finish.exchange(nullptr);
  if (finish != nullptr && std::this_thread::get_id() == active.owner) {
    int status = 1;  // what a failure to finish says
    try {
      status = (*finish)();
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

ExitFinisher::ExitFinisher(std::function<int()> finish) {
  active.owner = std::this_thread::get_id();
  active.finish = new std::function<int()>(std::move(finish));
  runBeforeLaterTeardowns();
}

ExitFinisher::~ExitFinisher() {
  delete active.finish.exchange(nullptr);
}

void ExitFinisher::runBeforeLaterTeardowns() {
  registerExitHandler();
}
