#pragma once

// The data files a run writes besides pictures: --export (HDF5, every event, frame and, on
// request, the gains) and --stats (CSV, a line per frame). Both follow the outputs' rules: a
// temporary file beside the target, renamed into place by finish() once complete, never the
// input; a file that cannot be completed leaves its target as it was.

#include <cstdint>
#include <string>
#include <vector>

#include "apps/replay/options.h"
#include "apps/replay/output_report.h"
#include "apps/replay/run_parameters.h"
#include "datafiles/export.h"
#include "datafiles/stats.h"
#include "frame_input/frame_input.h"
#include "session/session.h"

class ReplayExports {
 public:
  explicit ReplayExports(const ReplayOptions& options) : options_(options) {}

  bool enabled() const { return !options_.exportPath.empty() || !options_.statsPath.empty(); }

  // Before the run, once the input is known to open: stages every file; the CSV file starts
  // with the run's provenance (its parameters, `input`'s path, size and rate) as comment lines.
  // Returns an empty string or the message.
  std::string open(const RunParameters& run, const FrameInput& input);

  // Whether the session must record its events (SessionConfig::recordEvents): the export's.
  bool needsEvents() const { return !options_.exportPath.empty(); }

  // Right after the session is created, before its first frame.
  void start(std::size_t sensorCount);

  // After drawn frame `frameNumber` (1 = the first), placed as `placement` says. `readSeconds`
  // is the real time spent waiting for the frame, `residentMib` the memory read after it.
  // An empty string, or the message once a file has failed: the run should then stop.
  // `events` are the frame's (Session::takeFrameEvents), swapped out as Hdf5Export::add says.
  std::string add(const FrameResult& result, const RetinaPlacement& placement, double readSeconds,
                  std::int64_t frameNumber, double residentMib, std::vector<RetinaEvent>& events);

  // Real seconds the last add() took on the frame loop's thread.
  double lastSeconds() const { return lastSeconds_; }

  // Before finish: the input ended before its known end (see FrameInput::endedEarly); the
  // export records it.
  void noteInputEndedEarly(std::int64_t frame, const std::string& cause);

  // After the loop, once the session has stopped and `framesRun` frames were drawn: completes
  // each file and renames it into place, the CSV first; a file that cannot be completed leaves
  // its target as it was, the other is still put in place. Nothing is written when no frame was
  // drawn. While the export's writer works through the frames still queued, `waiting` is called
  // with their number every Hdf5Export::kWaitReport.
  // `end` says how the run ended, for the files' own record.
  OutputsReport finish(const ExportEnd& end, std::int64_t framesRun,
                       std::vector<RetinaEvent> eventsAfterLastFrame,
                       const std::function<void(std::size_t framesLeft)>& waiting = {});

  // Removes this run's temporary files.
  void discard();

 private:
  const ReplayOptions& options_;
  RunProvenance provenance_;
  std::string startTime_;  // ISO 8601, UTC: when the files were staged
  Hdf5Export export_;
  StatsWriter stats_;
  double lastSeconds_ = 0.0;
};

// The command line as a shell would take it back: the tool's name, then each argument, quoted
// where needed.
std::string commandLineText(const std::vector<std::string>& arguments);
