#pragma once

#include <csignal>
#include <functional>
#include <iosfwd>

#include <opencv2/core.hpp>

#include "apps/replay/options.h"

// What the caller gives a run besides its command.
struct ReplayHooks {
  std::function<void(const cv::Mat& canvas)> onCanvas;  // every canvas drawn, in order
  // Non-zero (a signal's number, set by its handler or by a test): the run ends before the
  // next frame, as on ESC, and exits with 128 + that number. Read once per frame.
  const volatile std::sig_atomic_t* stopSignal = nullptr;
  volatile std::sig_atomic_t* phase = nullptr;  // the run's RunPhase, for the signals' handler
  bool progress = false;  // draw a progress line on `err`, which is a terminal
};

// Runs the command: answers --help, --version, --check-display and --print-config, or reads the
// run's files and runs its `runSpec`, printing the console lines and the summary to `out`, messages
// to `err`. However the run ends (the input or frame limit, ESC, the window closed, a stop
// signal, a failed output, the window toolkit calling exit()), the worker is joined, every
// complete output renamed into place and the summary printed with what became of each; a run
// that drew no frame writes none. Returns the exit status (see options.h).
int runReplay(ReplayCommand command, std::ostream& out, std::ostream& err,
              const ReplayHooks& hooks = {});
