// Heap allocations of a steady-state frame. This executable replaces the global allocation
// functions with counting ones; the count is process-wide (the replacement can only be global),
// and the stepped session used here starts no thread of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <opencv2/imgproc.hpp>

#include "session_fixture.h"

namespace {

std::atomic<long> allocationCount{0};

void* countedAllocation(std::size_t bytes) {
  allocationCount.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
  throw std::bad_alloc();
}

void* countedAlignedAllocation(std::size_t bytes, std::align_val_t alignment) {
  allocationCount.fetch_add(1, std::memory_order_relaxed);
  const auto align = static_cast<std::size_t>(alignment);
  if (void* p = std::aligned_alloc(align, (bytes + align - 1) / align * align)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t bytes) {
  return countedAllocation(bytes);
}
void* operator new[](std::size_t bytes) {
  return countedAllocation(bytes);
}
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  try {
    return countedAllocation(bytes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t bytes, const std::nothrow_t& tag) noexcept {
  return operator new(bytes, tag);
}
void* operator new(std::size_t bytes, std::align_val_t alignment) {
  return countedAlignedAllocation(bytes, alignment);
}
void* operator new[](std::size_t bytes, std::align_val_t alignment) {
  return countedAlignedAllocation(bytes, alignment);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

namespace {

// A 1280x720 frame with a photograph's mix: broad bright and dark areas of every hue, edges and
// fine grain. Bright enough that a frame emits more events than the queue keeps, so the bound,
// the Konio stage and the red rings all take part.
cv::Mat photoLikeFrame() {
  cv::RNG rng(2024);
  cv::Mat coarse(9, 16, CV_8UC3);
  rng.fill(coarse, cv::RNG::UNIFORM, 0, 256);
  cv::Mat frame;
  cv::resize(coarse, frame, cv::Size(1280, 720), 0, 0, cv::INTER_CUBIC);
  cv::rectangle(frame, {200, 100}, {520, 400}, cv::Scalar(250, 250, 250), cv::FILLED);
  cv::Mat grain(frame.size(), CV_8UC3);
  rng.fill(grain, cv::RNG::UNIFORM, 0, 40);
  frame += grain;
  return frame;
}

}  // namespace

TEST(Allocations, NoneInASteadySteppedFrame) {
  const cv::Mat frame = photoLikeFrame();
  TestSession t(ModelMode::steppedAfterEmission);
  for (int i = 1; i < 50; ++i)
    t.frame(frame, std::chrono::milliseconds(3));

  const long before = allocationCount.load();
  std::size_t events = 0;
  for (int i = 50; i <= 100; ++i)
    events += t.frame(frame, std::chrono::milliseconds(3)).eventsPushed;
  const long during = allocationCount.load() - before;

  EXPECT_EQ(during, 0) << "heap allocations in frames 50 to 100";
  // What the frames exercised: more events than the bound keeps, and a model that answers.
  EXPECT_GT(events / 51, QueueParameters{}.capacity);
  EXPECT_GT(t.session.queueStats().displaced, 0u);
}
