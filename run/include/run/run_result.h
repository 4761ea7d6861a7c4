#pragma once

// What became of a run: how it ended, what it did, and for each output what became of it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model/event_queue.h"
#include "run/run_spec.h"

// Why a run was refused before its first frame, with what it names; worded by describeRefusal.
struct Refusal {
  enum class Kind {
    parametersInvalid,  // the parameters do not hold together: `detail` says why
    inputUnreadable,    // the input does not open or gives no frame: `detail` says why
    foveaPathOutside,   // the fovea path leaves the first frame's picture: `detail` says where
    outputIsRunFile,    // `target` is the file `runFile` reads
    outputIsInputFile,  // `target` is one of the input's files
    outputNamedTwice,   // two outputs name `target`
    snapshotBeyondEnd,  // snapshot `frame` lies beyond the input's last frame, `last`
    outputUnwritable,   // `detail`: "cannot write 'TARGET': CAUSE" (or "cannot record ...")
  };
  Kind kind = Kind::inputUnreadable;
  RunRole role = RunRole::input;     // the part refused: the input, a run file or an output
  RunRole runFile = RunRole::input;  // outputIsRunFile: configFile or foveaPathFile
  std::string target;                // the output's or run file's path, as the front end gave it
  std::string detail;
  std::int64_t frame = 0;
  std::int64_t last = 0;
};

// A refusal in the words of a front end, which names each part of a run its own way ("--config"
// on the command line, "parameters" in Python).
std::string describeRefusal(const Refusal& refusal,
                            const std::function<std::string(RunRole)>& partName);

enum class RunEnd {
  refused,       // before the first frame: RunResult::refusal says why; nothing written
  inputEnded,    // the input gave no more frames
  frameLimit,    // the frame limit was reached
  quitKey,       // the observer asked to stop (ESC)
  windowClosed,  // the observer's window was closed
  stopSignal,    // RunControl::stopSignal was set (RunResult::stopSignal: its number)
  outputFailed,  // an output could not be written: the run ended at that frame
  error,         // an exception (RunResult::error) ended the frame loop
  toolkitExit,   // a library called exit() in the middle of the run (Qt: its X connection broke)
};

// Whether a run that ended so went through its whole input or frame limit.
bool runCompleted(RunEnd end);

// What became of one output.
struct OutputOutcome {
  enum class Fate {
    written,
    leftAsItWas,  // not written; the target existed and is as it was before the run
    notWritten,   // not written; there was no file at the target
  };
  RunRole role = RunRole::recording;
  std::string target;  // as the front end named it
  Fate fate = Fate::written;
  std::string cause;  // why not written
};

// "written", "left as it was: CAUSE" or "not written: CAUSE".
std::string fateText(const OutputOutcome& outcome);

struct RunResult {
  RunEnd end = RunEnd::refused;
  std::optional<Refusal> refusal;  // end == refused
  int stopSignal = 0;              // end == stopSignal: the signal's number
  std::string error;               // end == error: what stopped the loop
  std::int64_t frames = 0;         // frames drawn
  std::uint64_t eventsPushed = 0;  // by the frame loop, frame markers included
  EventQueueStats queue{};         // the event queue's counters once the model had stopped
  std::string inputEndedEarly;     // why the input ended before its known end; empty: it did not
  // What the run noticed and went on with, each said once (RunControl::onWarning heard them as
  // they arose): frames too small for the model's fovea to keep fovea.margin from every edge.
  std::vector<std::string> warnings;
  std::vector<OutputOutcome> outputs;  // every output: the recording, snapshots, CSV, export
  std::vector<std::string> failures;   // outputs that could not be completed: the run failed
  // Outputs the run ended too early for (a snapshot frame not reached, no frame drawn): a
  // failure when the input or the frame limit ended the run, not when it was stopped.
  std::vector<std::string> missed;
};
