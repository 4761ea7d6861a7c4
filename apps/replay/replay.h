#pragma once

#include <csignal>
#include <functional>
#include <iosfwd>

#include <opencv2/core.hpp>

#include "apps/replay/options.h"

// Where the run is, for the stop signals' handler. Process-wide, as the handler reaches only
// globals: the tool's second global state, next to main's stop flag.
enum class RunPhase : int {
  starting = 0,   // opening the input, preparing the outputs: a stop ends the process at once
  running = 1,    // the frame loop: a first stop ends the run normally, a second at once
  finishing = 2,  // after the loop: a stop abandons what is not finished yet
};
RunPhase runPhase();  // async-signal-safe

// What the caller gives a run besides its options.
struct ReplayHooks {
  std::function<void(const cv::Mat& canvas)> onCanvas;  // every canvas drawn, in order
  // Non-zero (a signal's number, set by its handler or by a test): the run ends before the
  // next frame, as on ESC, and exits with 128 + that number. Read once per frame.
  const volatile std::sig_atomic_t* stopSignal = nullptr;
  bool progress = false;  // draw a progress line on `err`, which is a terminal
};

// Runs the replay: opens the input and prepares the outputs before anything is written, runs
// the program's own session on it, and prints the console lines and the summary to `out`,
// messages to `err`. However the run ends (the input or frame limit, ESC, the window closed, a
// stop signal, a failed output, the window toolkit calling exit()), the worker is joined, every
// complete output renamed into place and the summary printed with what became of each; a run
// that drew no frame writes none. It keeps the run's phase (runPhase) for the stop
// signals' handler. Returns the exit status (see options.h).
int runReplay(ReplayOptions options, std::ostream& out, std::ostream& err,
              const ReplayHooks& hooks = {});
