#pragma once

#include <chrono>
#include <cstdint>
#include <utility>

#include "model/model_worker.h"
#include "session/session.h"

// Frames per second of the synthetic scene and of a still image.
constexpr int kDefaultFramesPerSecond = 30;

// The deterministic mode's clock: starts at the steady clock's epoch and advances by exactly
// 1/30 s at every frame read, whatever the real time. retina-replay --deterministic and the
// session runner (session_runner.h) read the same clock, so their time stamps agree.
class FixedFrameClock {
 public:
  void advance() { ++frames_; }
  SteadyTime now() const {
    return SteadyTime(std::chrono::nanoseconds(frames_ * 1000000000 / kDefaultFramesPerSecond));
  }
  double seconds() const { return steadySeconds(now()); }

 private:
  std::int64_t frames_ = 0;
};

// The deterministic mode's session: the stepped model, and every clock the session reads (its
// own and the model's batch times) from `clock`, which must outlive the session.
inline void runOnFrameClock(SessionConfig& config, FixedFrameClock& clock) {
  config.modelMode = ModelMode::steppedAfterEmission;
  config.clock = [&clock] { return clock.now(); };
  config.modelClock = [&clock] { return clock.seconds(); };
}

// The session of a run on frames read one by one, as retina-replay and the session runner make
// it: `parameters`, `fovea` (moved in: a path file can hold millions of waypoints) and, when
// `deterministic`, the stepped model on `clock`, which must outlive the session.
inline SessionConfig frameSessionConfig(const Parameters& parameters, FoveaControl fovea,
                                        bool deterministic, FixedFrameClock& clock) {
  SessionConfig config;
  config.parameters = parameters;
  config.fovea = std::move(fovea);
  if (deterministic) runOnFrameClock(config, clock);
  return config;
}
