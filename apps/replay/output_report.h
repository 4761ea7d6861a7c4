#pragma once

// What became of a run's outputs, for the messages and the summary.

#include <string>
#include <vector>

#include <sys/stat.h>

// One output after the run: "written", or why not.
struct OutputOutcome {
  std::string target;  // as the user named it
  std::string fate;    // "written", "left as it was: CAUSE" or "not written: CAUSE"
};

inline OutputOutcome writtenOutcome(const std::string& target) {
  return {target, "written"};
}

// An output not written: its target, if there is one, is as it was before the run.
inline OutputOutcome notWrittenOutcome(const std::string& target, const std::string& cause) {
  struct stat info {};
  const bool existed = lstat(target.c_str(), &info) == 0;
  return {target, (existed ? "left as it was: " : "not written: ") + cause};
}

struct OutputsReport {
  std::vector<std::string> failures;  // outputs that could not be completed: the run failed
  // Outputs that the run ended too early for (a snapshot frame not reached, no frame drawn): a
  // failure when the input or the frame limit ended the run, not when the user stopped it.
  std::vector<std::string> missed;
  std::vector<OutputOutcome> outcomes;  // every output, in the order of the options' kinds

  void append(const OutputsReport& other) {
    failures.insert(failures.end(), other.failures.begin(), other.failures.end());
    missed.insert(missed.end(), other.missed.begin(), other.missed.end());
    outcomes.insert(outcomes.end(), other.outcomes.begin(), other.outcomes.end());
  }
};
