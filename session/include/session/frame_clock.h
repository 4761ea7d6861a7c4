#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "model/model_worker.h"  // SteadyTime, steadySeconds

// Frames per second of the synthetic scene and of a still image.
constexpr int kDefaultFramesPerSecond = 30;

// The clock readings of one frame, handed to Session::step by the loop that read the frame.
struct FrameTimes {
  SteadyTime start;    // t0: before the frame was read; the overlay's frame time counts from here
  SteadyTime capture;  // t1: once it was read; every event of the frame carries it
  // When the fovea marker is drawn, ending the frame time; empty: the steady clock, read then.
  std::optional<SteadyTime> marked;
  // The stepped model's batch time, seconds; empty: the steady clock, read at the model step.
  std::optional<double> batchTime;
};

// The clock every loop reads its frames by: the steady clock (live), or a frame clock that moves
// only at a frame read, by a fixed step, whatever the real time. The deterministic frame clock
// starts at the steady clock's epoch and steps by 1/30 s. Within a frame of a frame clock no
// time passes: the frame time ends at the capture time and the model's batch is stamped with it.
class FrameClock {
 public:
  explicit FrameClock(bool deterministic = false)
      : fixed_(deterministic),
        stepNanoseconds_(1000000000),
        stepsPerSecond_(kDefaultFramesPerSecond) {}
  // A frame clock at `origin` that steps by `step` at every frame read (scripted loops).
  FrameClock(SteadyTime origin, std::chrono::nanoseconds step)
      : fixed_(true), origin_(origin), stepNanoseconds_(step.count()), stepsPerSecond_(1) {}

  bool deterministic() const { return fixed_; }

  SteadyTime now() const {
    if (!fixed_) return std::chrono::steady_clock::now();
    return origin_ + std::chrono::nanoseconds(frames_ * stepNanoseconds_ / stepsPerSecond_);
  }

  // Times `read`, which reads one frame: t0, the frame clock's step, the read, t1.
  template <class Read>
  FrameTimes timeRead(Read&& read) {
    FrameTimes times;
    times.start = now();
    if (fixed_) ++frames_;
    read();
    times.capture = now();
    if (fixed_) {
      times.marked = times.capture;
      times.batchTime = steadySeconds(times.capture);
    }
    return times;
  }

 private:
  bool fixed_ = false;
  SteadyTime origin_{};
  std::int64_t stepNanoseconds_ = 0;  // the step is stepNanoseconds_ / stepsPerSecond_ ns, so
  std::int64_t stepsPerSecond_ = 1;   // that 1/30 s steps add up without rounding
  std::int64_t frames_ = 0;           // frames read
};
