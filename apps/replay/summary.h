#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "run/run_result.h"
#include "session/session.h"

// One frame as the summary sees it: real seconds.
struct FrameCost {
  double read = 0.0;  // waiting for the frame and converting it: the source's share
  StageSeconds stages;
  std::size_t eventsPushed = 0;
};

// Collects what every frame did and prints medians, 95th percentiles and totals.
class ReplaySummary {
 public:
  void add(const FrameCost& frame);
  // After each frame: the resident memory (MiB); keeps frame 100's, the last and the peak.
  void noteMemoryMib(std::int64_t frameNumber, double mib);
  // After each frame when exporting: the real time --export / --stats took on the loop's thread.
  void addExport(double seconds);
  // After the run: why the input ended before its known end (empty: it did not), and what
  // became of each output.
  void setInputEndedEarly(const std::string& why) { inputEndedEarly_ = why; }
  void setOutputs(const std::vector<OutputOutcome>& outputs) { outputs_ = outputs; }
  // `changedParameters`: the parameters that differ from their defaults ("section.key"), said
  // on a line of their own when there are any.
  void print(std::ostream& out, const EventQueueStats& queue, bool deterministic,
             const std::vector<std::string>& changedParameters = {}) const;

  std::size_t frames() const { return frames_.size(); }

 private:
  std::vector<FrameCost> frames_;
  double residentAfter100Mib_ = -1.0;  // -1: not reached
  double residentLastMib_ = -1.0;
  double residentPeakMib_ = -1.0;
  std::vector<double> exportSeconds_;  // empty without exports
  std::string inputEndedEarly_;
  std::vector<OutputOutcome> outputs_;

  void printEnd(std::ostream& out) const;
};
