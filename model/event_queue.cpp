#include "model/event_queue.h"

#include <algorithm>

void EventQueue::push(const RetinaEvent& event) {
  std::lock_guard<std::mutex> lock(mutex);
  // Producers never wait for the consumer: at the bound the oldest event gives way.
  if (events.size() >= kEventQueueLimit) {
    events.pop_front();
    ++displaced;
  }
  events.push_back(event);
  if (events.size() > peak) peak = events.size();
}

std::vector<RetinaEvent> EventQueue::drainAll() {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<RetinaEvent> batch(events.begin(), events.end());
  events.clear();
  if (!batch.empty()) ++batches;
  return batch;
}

EventQueueStats EventQueue::stats() {
  std::lock_guard<std::mutex> lock(mutex);
  EventQueueStats result;
  result.size = events.size();
  result.displaced = displaced;
  result.peak = peak;
  result.batches = batches;
  return result;
}
