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

namespace {

std::size_t checkedCapacity(std::size_t capacity) {
  if (capacity == 0) throw std::invalid_argument("EventQueue: a capacity of 0 holds no event");
  return capacity;
}

}  // namespace

EventQueue::EventQueue(std::size_t capacity)
    : capacity_(checkedCapacity(capacity)), ring_(new RetinaEvent[capacity_]) {}

void EventQueue::push(const RetinaEvent& event) {
  const std::unique_lock<std::mutex> lock = lockSoon(mutex_);
  std::size_t tail = head_ + size_;
  if (tail >= capacity_) tail -= capacity_;
  ring_[tail] = event;
  // Producers never wait for the consumer: at the bound the oldest event gives way. Its slot is
  // the tail just written, so the oldest moves on by one.
  if (size_ == capacity_) {
    head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    ++displaced_;
  } else {
    ++size_;
    if (size_ > peak_) peak_ = size_;
  }
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
  batch.reserve(capacity_);
  const std::unique_lock<std::mutex> lock = lockSoon(mutex_);
  const std::size_t first = std::min(size_, capacity_ - head_);  // up to the ring's end
  batch.insert(batch.end(), ring_.get() + head_, ring_.get() + head_ + first);
  batch.insert(batch.end(), ring_.get(), ring_.get() + (size_ - first));
  head_ = 0;
  size_ = 0;
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
  result.size = size_;
  result.displaced = displaced_;
  result.peak = peak_;
  result.batches = batches_;
  return result;
}
