#pragma once

#include <chrono>

// Shows frames at the source's rate in a window: the key poll after each frame waits until the
// next frame is due. The schedule is absolute (frame k at start + k periods), so that the rate
// does not drift with the time each frame takes; a frame that comes late is shown at once and
// the schedule starts again from it, rather than rushing the next ones to catch up.
class FramePacer {
 public:
  // `framesPerSecond` <= 0: unpaced, every wait is `minimumWaitMs`.
  FramePacer(double framesPerSecond, int minimumWaitMs);

  // Milliseconds to wait for a key after the frame just shown.
  int keyWaitMs();

 private:
  using Clock = std::chrono::steady_clock;
  Clock::duration period_{0};
  int minimumWaitMs_;
  bool started_ = false;
  Clock::time_point due_;
};
