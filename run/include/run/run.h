#pragma once

// One run from a RunSpec to a RunResult: opens the input and prepares every output before
// anything is written (refusing what would cost the user a file), runs the session over the
// frames on the run's clock, and finishes every output however the run ends.

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "run/run_result.h"
#include "run/run_spec.h"
#include "session/session.h"

// Where a run is, for a stop signal's handler.
enum class RunPhase : int {
  starting = 0,   // opening the input, preparing the outputs: nothing to finish yet
  running = 1,    // the frame loop: a stop ends the run as its end would
  finishing = 2,  // after the loop: the outputs are being finished
};

// Known once the session exists, before the first frame.
struct RunStart {
  std::size_t sensorCount = 0;
  std::int64_t expectedFrames = 0;  // 0: unknown (a camera, a stream)
  double framesPerSecond = 0.0;     // the input's own rate
};

// What the observer hears after every frame read.
struct FrameReport {
  const FrameResult& result;  // drawn or refused
  std::int64_t number = 0;    // frames drawn so far (this one included when drawn)
  double readSeconds = 0.0;   // real time waiting for the frame
  double dataSeconds = 0.0;   // real time the data files (export, CSV) took on this thread
  double residentMib = 0.0;   // the process's resident memory after the frame, MiB
  bool outputFailed = false;  // an output failed at this frame: the run ends after it
  bool latencyDue = false;    // the latency line is due (Session::latencyDue)
};

// What the observer asks for after a frame.
enum class FrameAction { carryOn, recenter, quit, windowClosed };

// How often a waiting run looks at RunControl::stopSignal.
constexpr std::chrono::milliseconds kStopCheck{50};

// How the caller steers a run. Every member may be left empty.
struct RunControl {
  // Non-zero (a signal's number, set by its handler or by a test): the run ends as on a quit,
  // with RunEnd::stopSignal, after the frame being drawn. Read between frames, every kStopCheck
  // while the run waits for a frame that a stream is slow to send or for the export's writer to
  // free a frame, and every kLayoutProgressEvery steps of the retina's layout, whose build it
  // abandons (no frame drawn).
  const volatile std::sig_atomic_t* stopSignal = nullptr;
  volatile std::sig_atomic_t* phase = nullptr;  // kept at the run's RunPhase
  // While the session builds the retina's layout, before onStart: `done` of `total` steps
  // (LayoutProgress), every kLayoutProgressEvery steps and at the end, each time just before the
  // build looks at stopSignal.
  std::function<void(std::int64_t done, std::int64_t total)> onLayout;
  std::function<void(const RunStart&)> onStart;
  std::function<FrameAction(const FrameReport&)> onFrame;
  // Every kStopCheck while the run waits for a frame that a stream is slow to send, just before
  // it looks at stopSignal: for a front end whose stop requests do not come through a signal
  // handler of its own (Python's Ctrl-C, the interpreter's exit) to set the flag.
  std::function<void()> onWait;
  // A warning as it arises (it also goes to RunResult::warnings), once each.
  std::function<void(const std::string& warning)> onWarning;
  // The frame loop has ended (RunResult's end, stopSignal, error and inputEndedEarly are
  // known); the outputs are finished next.
  std::function<void(const RunResult&)> onFinishing;
  // While the export's writer works through the frames still queued: their number, every
  // quarter of a second.
  std::function<void(std::size_t framesLeft)> onBacklog;
  // The frames are shown in a window whose toolkit may end the process with exit() (Qt does when
  // its X connection breaks): the run is then finished as on a stop, RunEnd::toolkitExit, and
  // the process ends with the status onToolkitExit returns.
  bool window = false;
  std::function<int(const RunResult&)> onToolkitExit;
};

// Runs `runSpec` under `control`. Main thread only; one run at a time per thread.
RunResult run(RunSpec runSpec, RunControl& control);
