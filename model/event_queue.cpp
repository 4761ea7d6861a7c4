#include "model/event_queue.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// Both threads push one event per lock, so they often meet on the mutex for the few nanoseconds
// a push takes. Sleeping in the kernel on such a meeting costs microseconds, so a waiter first
// spins: it retries try_lock with a growing pause in between, so as not to keep stealing the
// mutex's cache line from the holder, for up to kSpinPauses pauses (some tens of microseconds),
// and only then blocks.
constexpr int kSpinPauses = 1024;

void pause(int times) {
  for (int i = 0; i < times; ++i) {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
  }
}

std::unique_lock<std::mutex> lockSoon(std::mutex& mutex) {
  std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
  for (int wait = 1, spent = 0; !lock.owns_lock(); wait = std::min(2 * wait, 64)) {
    if (spent >= kSpinPauses) {
      lock.lock();
      break;
    }
    pause(wait);
    spent += wait;
    lock.try_lock();
  }
  return lock;
}

}  // namespace

void EventQueue::push(const RetinaEvent& event) {
  const std::unique_lock<std::mutex> lock = lockSoon(mutex_);
  // Producers never wait for the consumer: at the bound the oldest event gives way.
  if (events_.size() >= kEventQueueLimit) {
    events_.pop_front();
    ++displaced_;
  }
  events_.push_back(event);
  if (events_.size() > peak_) peak_ = events_.size();
  if (pushLog_ != nullptr) pushLog_->push_back(event);
}

void EventQueue::setPushLog(std::vector<RetinaEvent>* log) {
  std::lock_guard<std::mutex> lock(mutex_);
  pushLog_ = log;
}

void EventQueue::takePushLog(std::vector<RetinaEvent>& out) {
  out.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  if (pushLog_ != nullptr) out.swap(*pushLog_);
}

void EventQueue::drainAll(std::vector<RetinaEvent>& batch) {
  // Sized before the lock: a copy that has to allocate (and fault in fresh pages) under the
  // lock keeps the frame loop's pushes waiting long enough to put it to sleep.
  batch.clear();
  batch.reserve(kEventQueueLimit);
  const std::unique_lock<std::mutex> lock = lockSoon(mutex_);
  batch.insert(batch.end(), events_.begin(), events_.end());
  events_.clear();
  if (!batch.empty()) ++batches_;
}

std::vector<RetinaEvent> EventQueue::drainAll() {
  std::vector<RetinaEvent> batch;
  drainAll(batch);
  return batch;
}

EventQueueStats EventQueue::stats() {
  std::lock_guard<std::mutex> lock(mutex_);
  EventQueueStats result;
  result.size = events_.size();
  result.displaced = displaced_;
  result.peak = peak_;
  result.batches = batches_;
  return result;
}

QueueStoragePool::~QueueStoragePool() {
  for (auto& [bytes, blocks] : free_) {
    for (void* block : blocks)
      ::operator delete(block);
  }
}

void* QueueStoragePool::allocate(std::size_t bytes) {
  for (auto& [size, blocks] : free_) {
    if (size == bytes && !blocks.empty()) {
      void* block = blocks.back();
      blocks.pop_back();
      return block;
    }
  }
  return ::operator new(bytes);
}

void QueueStoragePool::deallocate(void* block, std::size_t bytes) {
  for (auto& [size, blocks] : free_) {
    if (size == bytes) {
      blocks.push_back(block);
      return;
    }
  }
  free_.push_back({bytes, {block}});
}
