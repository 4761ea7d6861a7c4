// retina-replay: the demo's frame loop on a video, an image, a camera or a synthetic scene, in
// a window or headless, with recording, a deterministic mode and a timing summary.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "tools/replay/replay.h"

namespace {

// The one global: a signal handler can only reach a flag. The run reads it once per frame.
volatile std::sig_atomic_t stopRequest = 0;

void requestStop(int signal) {
  if (stopRequest == 0) stopRequest = signal;
}

// Ctrl-C, kill, a closed terminal and a closed pipe end the run as ESC does. SA_RESTART keeps
// the back-ends' blocking reads and writes from failing with EINTR.
void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line into a pipe or file too, so that a reader sees each line as it is written.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  const ParsedOptions parsed = parseReplayOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::cerr << "retina-replay: " << parsed.error << "\n";
    return kReplayUsageError;
  }
  installStopHandlers();
  ReplayHooks hooks;
  hooks.stopSignal = &stopRequest;
  hooks.progress = isatty(STDERR_FILENO) == 1;
  int status = runReplay(parsed.options, std::cout, std::cerr, hooks);
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == kReplayDone) {
    std::cerr << "retina-replay: cannot write standard output\n";
    status = kReplayFailed;
  }
  return status;
}
