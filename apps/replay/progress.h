#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

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

// While the export's writer works through the frames still queued after the loop: a line that
// says how many are left, once the wait has lasted kShowAfter. On a terminal it is rewritten in
// place and blanked at the end; elsewhere a new line comes every kLineEvery.
class FinishingLine {
 public:
  FinishingLine(std::ostream& err, bool terminal, const std::string& target);
  void show(std::size_t framesLeft);
  void clear();

  static constexpr std::chrono::milliseconds kShowAfter{500};
  static constexpr std::chrono::seconds kLineEvery{5};

 private:
  using Clock = std::chrono::steady_clock;
  std::ostream& err_;
  bool terminal_;
  std::string target_;
  Clock::time_point start_;
  Clock::time_point lastLine_;
  bool shown_ = false;
  std::size_t shownWidth_ = 0;
};

// While the retina's layout is built (a large one takes seconds): how far it is, on a terminal
// only, as the progress line is, once the build has lasted kShowAfter; rewritten in place at most
// four times a second and blanked once the build ends.
class LayoutLine {
 public:
  LayoutLine(std::ostream& terminal, bool enabled);
  // `done` of `total` steps (LayoutProgress's: twice the spiral points).
  void show(std::int64_t done, std::int64_t total);
  void clear();

  static constexpr std::chrono::seconds kShowAfter{1};

 private:
  using Clock = std::chrono::steady_clock;
  std::ostream& terminal_;
  bool enabled_;
  Clock::time_point start_;
  Clock::time_point lastDrawn_;
  std::size_t shownWidth_ = 0;
};
