#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
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

// Most events the queue holds; a push onto a full queue displaces the oldest.
constexpr std::size_t kEventQueueLimit = 20000;

struct EventQueueStats {
  std::size_t size = 0;         // events queued now
  std::uint64_t displaced = 0;  // events dropped by the bound since creation
  std::size_t peak = 0;         // most events ever queued at once
  std::uint64_t batches = 0;    // drains that returned at least one event
};

// Memory for the queue's deque, recycled instead of handed back to the heap. Every operation on
// the deque runs under the queue mutex, so the pool needs no lock of its own, and once the queue
// has been full a push or a drain no longer calls the heap allocator while holding the mutex:
// otherwise the other thread ends up waiting on the heap's own locks and trims as well.
class QueueStoragePool {
 public:
  QueueStoragePool() = default;
  QueueStoragePool(const QueueStoragePool&) = delete;
  QueueStoragePool& operator=(const QueueStoragePool&) = delete;
  ~QueueStoragePool();

  void* allocate(std::size_t bytes);
  void deallocate(void* block, std::size_t bytes);

 private:
  std::vector<std::pair<std::size_t, std::vector<void*>>> free_;  // spare blocks by size
};

template <class T>
struct PoolAllocator {
  using value_type = T;
  explicit PoolAllocator(QueueStoragePool* pool) : pool(pool) {}
  template <class U>
  PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}
  T* allocate(std::size_t n) { return static_cast<T*>(pool->allocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { pool->deallocate(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const PoolAllocator<U>& other) const {
    return pool == other.pool;
  }
  template <class U>
  bool operator!=(const PoolAllocator<U>& other) const {
    return pool != other.pool;
  }
  QueueStoragePool* pool;
};

// The one channel between the threads. Producers: the frame loop (main thread) and the Konio
// stage (worker thread). Consumer: the worker thread only. Every member function holds the queue
// mutex for its whole duration and takes no other lock meanwhile.
class EventQueue {
 public:
  // Appends `event`; when kEventQueueLimit or more events are queued it first drops exactly one,
  // the oldest, whatever its kind. Never waits for room.
  void push(const RetinaEvent& event);

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
  QueueStoragePool storage_;  // declared first: it outlives `events_`
  std::deque<RetinaEvent, PoolAllocator<RetinaEvent>> events_{
      PoolAllocator<RetinaEvent>(&storage_)};    // oldest at the front; guarded by `mutex_`
  std::mutex mutex_;                             // the queue mutex
  std::uint64_t displaced_ = 0;                  // guarded by `mutex_`
  std::size_t peak_ = 0;                         // guarded by `mutex_`
  std::uint64_t batches_ = 0;                    // guarded by `mutex_`
  std::vector<RetinaEvent>* pushLog_ = nullptr;  // guarded by `mutex_`
};
