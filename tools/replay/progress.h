#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>

// A progress line on a terminal: frame, total when known, frames per second and time left,
// rewritten in place with '\r' at most four times a second. Disabled, it writes nothing.
class ProgressLine {
 public:
  // `total`: frames expected, 0 when unknown.
  ProgressLine(std::ostream& terminal, bool enabled, std::int64_t total);

  void update(std::int64_t frames);
  // Blanks the line, before anything else is written to the terminal; the next update draws
  // it again.
  void clear();

 private:
  using Clock = std::chrono::steady_clock;
  std::ostream& terminal_;
  bool enabled_;
  std::int64_t total_;
  Clock::time_point start_;
  Clock::time_point lastDrawn_;
  std::size_t shownWidth_ = 0;  // characters on the line now
};
