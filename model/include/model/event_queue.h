#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

// Event kinds, with the values they carry in the event stream. The worker drops any other value.
enum class EventKind : std::int32_t {
  Photoreceptor = 0,  // a sensor whose weighted activation passed the threshold
  KonioInput = 2,     // the same weight again, for sensors in the Konio mask
  KonioOutput = 3,    // a Konio unit announcing its activity
  FrameMarker = 99,   // first event of every frame
};

// One event between the frame loop and the model worker.
struct RetinaEvent {
  double time = 0.0;      // seconds on the steady clock (nanoseconds / 1e9)
  std::int32_t src = -1;  // sensor or Konio unit index (the same numbering), -1 for none
  std::int32_t dst = -1;  // target index, same numbering, -1 for none
  float weight = 0.0f;
  EventKind kind = EventKind::Photoreceptor;
};

// The queue's size, fixed when it is created.
struct QueueParameters {
  std::size_t capacity = 20000;  // most events held; a push onto a full queue displaces the oldest
};

struct EventQueueStats {
  std::size_t size = 0;         // events queued now
  std::uint64_t displaced = 0;  // events dropped by the bound since creation
  std::size_t peak = 0;         // most events ever queued at once
  std::uint64_t batches = 0;    // drains that returned at least one event
};

// The one channel between the threads. Producers: the frame loop (main thread) and the Konio
// stage (worker thread). Consumer: the worker thread only. Every member function holds the queue
// mutex for its whole duration and takes no other lock meanwhile.
//
// The events live in a ring of `capacity` slots allocated with the queue, so no push or drain
// ever calls the heap while holding the mutex.
class EventQueue {
 public:
  // Throws std::invalid_argument for a capacity of 0.
  explicit EventQueue(std::size_t capacity = QueueParameters{}.capacity);

  std::size_t capacity() const { return capacity_; }

  // Appends `event`; when `capacity` events are queued it first drops exactly one, the oldest,
  // whatever its kind. Never waits for room.
  void push(const RetinaEvent& event);

  // Writes the events of a run into the ring: each call takes the next slot.
  class RunWriter {
   public:
    void operator()(const RetinaEvent& event) {
      ring_[slot_] = event;
      slot_ = slot_ + 1 == capacity_ ? 0 : slot_ + 1;
      ++written_;
      if (log_ != nullptr) log_->push_back(event);
    }

   private:
    friend class EventQueue;
    RunWriter(RetinaEvent* ring, std::size_t capacity, std::size_t slot,
              std::vector<RetinaEvent>* log)
        : ring_(ring), capacity_(capacity), slot_(slot), log_(log) {}
    RetinaEvent* ring_;
    std::size_t capacity_;
    std::size_t slot_;
    std::vector<RetinaEvent>* log_;
    std::size_t written_ = 0;
  };

  // Appends a run of `count` events under one lock, leaving the queue, its counters and the push
  // log exactly as `count` calls of `push` with nothing drained in between would. The events
  // that the bound displaces within the run itself are not asked for: `produce(skip, write)`
  // must call `write(event)` once for each of the run's events numbered skip to count - 1
  // (0-based), in order; skip is 0 while a push log is set, so that every event is logged.
  // Calls `produce` with the queue mutex held, so it must neither touch the queue nor take a
  // lock that a holder of the queue mutex may wait for. Throws std::logic_error when `produce`
  // writes another number of events; then, or when `produce` throws, the queued events are
  // undefined.
  template <class Produce>
  void pushRun(std::size_t count, Produce&& produce);

  // Replaces the contents of `batch` with every queued event, oldest first, and leaves the queue
  // empty. `batch` keeps its storage, so a consumer that reuses it never allocates under the
  // lock.
  void drainAll(std::vector<RetinaEvent>& batch);
  std::vector<RetinaEvent> drainAll();  // the same into a new vector

  EventQueueStats stats();

  // Optional record of every push, for exports: while a log is set, each event pushed (by either
  // thread) is also appended to it in push order, including events that the bound later
  // displaces. Set it before the worker starts; nullptr turns it off.
  void setPushLog(std::vector<RetinaEvent>* log);
  // Moves the logged events into `out` (replacing its contents) and empties the log.
  void takePushLog(std::vector<RetinaEvent>& out);

 private:
  std::size_t capacity_;                         // fixed at creation
  std::unique_ptr<RetinaEvent[]> ring_;          // `capacity_` slots; guarded by `mutex_`
  std::size_t head_ = 0;                         // slot of the oldest event; guarded by `mutex_`
  std::size_t size_ = 0;                         // guarded by `mutex_`
  std::mutex mutex_;                             // the queue mutex
  std::uint64_t displaced_ = 0;                  // guarded by `mutex_`
  std::size_t peak_ = 0;                         // guarded by `mutex_`
  std::uint64_t batches_ = 0;                    // guarded by `mutex_`
  std::vector<RetinaEvent>* pushLog_ = nullptr;  // guarded by `mutex_`
};

template <class Produce>
void EventQueue::pushRun(std::size_t count, Produce&& produce) {
  const std::lock_guard<std::mutex> lock(mutex_);
  // Pushes always write at the tail, full or not, so event j of the run lands in slot
  // tail + j; only the last `capacity_` of the run can still be queued when it ends.
  const std::size_t skip = pushLog_ == nullptr && count > capacity_ ? count - capacity_ : 0;
  const std::size_t tail = (head_ + size_) % capacity_;
  RunWriter write(ring_.get(), capacity_, (tail + skip) % capacity_, pushLog_);
  produce(skip, write);

  const std::size_t total = size_ + count;
  const std::size_t kept = total < capacity_ ? total : capacity_;
  displaced_ += total - kept;
  head_ = (head_ + (total - kept)) % capacity_;
  size_ = kept;
  if (size_ > peak_) peak_ = size_;
  if (write.written_ != count - skip) {
    throw std::logic_error("EventQueue::pushRun: the run wrote another number of events");
  }
}
