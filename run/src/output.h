#pragma once

// The outputs of a run behind one interface: a new kind of file is one new class, registered in
// outputs.cpp. Each writes through safe_output's atomic file, so that its target is replaced
// only by a complete file.

#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datafiles/export.h"
#include "frame_input/frame_input.h"
#include "run/run_result.h"
#include "run/run_spec.h"
#include "session/session.h"

// What an output may read before the run, once the input is open.
struct OutputContext {
  const RunSpec& runSpec;
  const FrameInput& input;
  const RunProvenance& provenance;
  const std::string& startTime;                  // ISO 8601, UTC
  const volatile std::sig_atomic_t* stopSignal;  // RunControl::stopSignal, or null
};

// One drawn frame, as the outputs take it.
struct OutputFrame {
  std::int64_t number = 0;  // 1 = the first drawn
  const FrameResult& result;
  const RetinaPlacement& placement;
  double readSeconds = 0.0;
  double residentMib = 0.0;
  std::vector<RetinaEvent>& events;  // recordEvents: the frame's, which an output may swap out
};

// How the run ended, as the outputs finish.
struct OutputEnding {
  RunEnd end = RunEnd::inputEnded;
  int stopSignal = 0;
  std::int64_t framesRun = 0;
  std::int64_t inputEndedEarlyFrame = 0;  // 0: the input did not end early
  std::string inputEndedEarly;
  std::vector<RetinaEvent> eventsAfterLastFrame;  // recordEvents
  std::function<void(std::size_t)> onBacklog;
};

class Output {
 public:
  virtual ~Output() = default;

  virtual RunRole role() const = 0;
  virtual const std::string& target() const = 0;
  // The session must keep its events (SessionConfig::recordEvents) for this output.
  virtual bool needsEvents() const { return false; }
  // Finished after the others: it may still have frames to write when the loop ends.
  virtual bool finishesLast() const { return false; }

  // Before the run, once every target has been vetted: creates the temporary file (and opens
  // the writer where it can). An empty string, or "cannot write 'TARGET': CAUSE".
  virtual std::string prepare(const OutputContext& context) = 0;
  // Once the session exists, before its first frame.
  virtual void start(std::size_t /*sensorCount*/) {}
  // After each drawn frame. An empty string, or the message once the output has failed.
  virtual std::string write(OutputFrame& frame) = 0;
  // After the run, however it ended: completes the file and renames it into place, or leaves
  // the target as it was; says what became of it in `result`.
  virtual void finish(OutputEnding& ending, RunResult& result) = 0;
};

// Every output `runSpec` asks for, in the order the summary lists them: the recording, the
// snapshots, the export, the CSV.
std::vector<std::unique_ptr<Output>> makeOutputs(const RunSpec& runSpec);

// Before any output is prepared, every target at once: none may be one of the run's files (the
// parameter file, the fovea path, the input's own files) or named by two outputs, and no
// snapshot frame may lie beyond the input's known end.
std::optional<Refusal> vetOutputs(const std::vector<std::unique_ptr<Output>>& outputs,
                                  const RunSpec& runSpec, const FrameInput& input);

// A refusal of `role`, naming `target`.
inline Refusal refusalOf(Refusal::Kind kind, RunRole role, std::string target,
                         std::string detail = {}) {
  Refusal refusal;
  refusal.kind = kind;
  refusal.role = role;
  refusal.target = std::move(target);
  refusal.detail = std::move(detail);
  return refusal;
}

// An output not written, with its cause: "left as it was" when its target exists.
OutputOutcome notWritten(RunRole role, const std::string& target, const std::string& cause);
OutputOutcome written(RunRole role, const std::string& target);

std::unique_ptr<Output> makeRecordingOutput(const std::string& target);
std::unique_ptr<Output> makeSnapshotOutput(const SnapshotSpec& snapshot);
std::unique_ptr<Output> makeExportOutput(const RunSpec& runSpec);
std::unique_ptr<Output> makeStatsOutput(const RunSpec& runSpec);
