#include "apps/replay/summary.h"

#include "run/resident_memory.h"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(rank, values.size() - 1)];
}

}  // namespace

void ReplaySummary::add(const FrameCost& frame) {
  frames_.push_back(frame);
}

void ReplaySummary::addExport(double seconds) {
  exportSeconds_.push_back(seconds);
}

void ReplaySummary::noteMemoryMib(std::int64_t frameNumber, double mib) {
  if (frameNumber == 100) residentAfter100Mib_ = mib;
  residentLastMib_ = mib;
  residentPeakMib_ = std::max(residentPeakMib_, mib);
}

void ReplaySummary::print(std::ostream& out, const EventQueueStats& queue, bool deterministic,
                          const std::vector<std::string>& changedParameters) const {
  const std::size_t n = frames_.size();
  out << "\nSummary: " << n << " frames, model "
      << (deterministic ? "stepped (deterministic)" : "on its worker thread (live)") << "\n";
  if (!changedParameters.empty()) {
    out << "  parameters not at their defaults:";
    for (std::size_t i = 0; i < changedParameters.size(); ++i)
      out << (i == 0 ? " " : ", ") << changedParameters[i];
    out << "\n";
  }
  if (n == 0) {
    printEnd(out);
    return;
  }

  struct Row {
    const char* name;
    double (*seconds)(const FrameCost&);
  };
  const Row rows[] = {
      {"frame read", [](const FrameCost& f) { return f.read + f.stages.convert; }},
      {"sampling", [](const FrameCost& f) { return f.stages.sampling; }},
      {"emission", [](const FrameCost& f) { return f.stages.emission; }},
      {"model step", [](const FrameCost& f) { return f.stages.modelStep; }},
      {"snapshots", [](const FrameCost& f) { return f.stages.snapshots; }},
      {"fovea", [](const FrameCost& f) { return f.stages.fovea; }},
      {"rendering", [](const FrameCost& f) { return f.stages.rendering; }},
      {"overlay", [](const FrameCost& f) { return f.stages.overlay; }},
      {"iteration without read", [](const FrameCost& f) { return f.stages.work(); }}};
  out << std::fixed << std::setprecision(3);
  out << "  " << std::left << std::setw(26) << "real time (ms)" << std::right << std::setw(10)
      << "median" << std::setw(10) << "p95"
      << "\n";
  auto printRow = [&](const char* name, const std::vector<double>& values) {
    out << "  " << std::left << std::setw(26) << name << std::right << std::setw(10)
        << percentile(values, 0.5) * 1e3 << std::setw(10) << percentile(values, 0.95) * 1e3 << "\n";
  };
  std::vector<double> frameTime;
  for (const FrameCost& f : frames_)
    frameTime.push_back(f.read + f.stages.convert + f.stages.work() + f.stages.modelStep);
  for (const Row& row : rows) {
    if (row.name == std::string("model step") && !deterministic) continue;
    std::vector<double> values;
    for (const FrameCost& f : frames_)
      values.push_back(row.seconds(f));
    printRow(row.name, values);
  }
  printRow("frame time", frameTime);
  if (!exportSeconds_.empty()) printRow("export", exportSeconds_);

  std::vector<double> events;
  double pushed = 0.0;
  for (const FrameCost& f : frames_) {
    events.push_back(static_cast<double>(f.eventsPushed));
    pushed += static_cast<double>(f.eventsPushed);
  }
  out << std::setprecision(0);
  out << "  events pushed per frame: median " << percentile(events, 0.5) << ", p95 "
      << percentile(events, 0.95) << ", total " << pushed << "\n";
  out << std::setprecision(1);
  out << "  displaced by the queue bound: " << queue.displaced << " ("
      << (pushed > 0 ? 100.0 * static_cast<double>(queue.displaced) / pushed : 0.0)
      << " % of the frames' events; Konio output included)\n";
  out << std::setprecision(2);
  out << "  worker batches per frame: "
      << static_cast<double>(queue.batches) / static_cast<double>(n) << " (" << queue.batches
      << " in all); queue peak " << queue.peak << " events\n";
  out << std::setprecision(1);
  out << "  resident memory (MiB): after frame 100 ";
  if (residentAfter100Mib_ < 0.0) {
    out << "-";
  } else {
    out << residentAfter100Mib_;
  }
  // The kernel updates its high-water mark lazily; the per-frame samples may be higher.
  out << ", after the last frame " << residentLastMib_ << ", peak "
      << std::max(residentPeakMib_, peakResidentMemoryMib()) << "\n";
  out.unsetf(std::ios::floatfield);
  printEnd(out);
}

void ReplaySummary::printEnd(std::ostream& out) const {
  if (!inputEndedEarly_.empty()) out << "  the input ended early: " << inputEndedEarly_ << "\n";
  if (outputs_.empty()) return;
  out << "  outputs:\n";
  for (const OutputOutcome& output : outputs_)
    out << "    " << output.target << ": " << fateText(output) << "\n";
}
