#include "apps/replay/pacing.h"

#include <algorithm>

FramePacer::FramePacer(double framesPerSecond, int minimumWaitMs) : minimumWaitMs_(minimumWaitMs) {
  if (framesPerSecond > 0.0) {
    period_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / framesPerSecond));
  }
}

int FramePacer::keyWaitMs() {
  if (period_.count() == 0) return minimumWaitMs_;
  const Clock::time_point now = Clock::now();
  if (!started_) {
    due_ = now;
    started_ = true;
  }
  due_ += period_;
  if (due_ <= now) {
    due_ = now;
    return minimumWaitMs_;
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due_ - now).count();
  return std::max(minimumWaitMs_, static_cast<int>(wait));
}
