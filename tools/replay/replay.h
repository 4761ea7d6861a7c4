#pragma once

#include <functional>
#include <iosfwd>

#include <opencv2/core.hpp>

#include "tools/replay/options.h"

// Runs the replay: opens the input and checks the outputs before anything is written, runs the
// program's own session on it, and prints the console lines and the summary to `out`, messages
// to `err`. `onCanvas` sees every canvas as shown. Returns the exit status: 0 after a run,
// kReplayUsageError for an input or output that cannot be opened (no output file is left then).
int runReplay(ReplayOptions options, std::ostream& out, std::ostream& err,
              const std::function<void(const cv::Mat& canvas)>& onCanvas = {});
