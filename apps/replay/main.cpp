// retina-replay: the demo's frame loop on a video, an image, a camera or a synthetic scene, in
// a window or headless, with recording, a deterministic mode and a timing summary.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "apps/replay/replay.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "run/run.h"
#include "safe_output/exit_cleanup.h"

namespace {

// The globals of main: a signal handler can only reach flags. The run reads the stop request once
// per frame and keeps its phase in `runPhase`. (safe_output's exit_cleanup.h holds the temporary
// files' list, which the handler also reaches.)
volatile std::sig_atomic_t stopRequest = 0;
volatile std::sig_atomic_t runPhase = static_cast<int>(RunPhase::starting);

// Abandons what is not finished (an existing target keeps its old file) and ends the process.
[[noreturn]] void endAtOnce(int signal) {
  removeTemporariesNow();
  _exit(kReplaySignalBase + signal);
}

// Ctrl-C, kill, a closed terminal, Ctrl-\ and a closed pipe end the run as ESC does. Before the
// run has started nothing needs finishing, so a stop ends the process at once, wherever it waits
// (a FIFO's writer, a stream). A second stop while the run ends, or one while its outputs are
// being finished, abandons what is not finished yet. A closed pipe is no one's second word:
// writing the summary into it raises SIGPIPE again. SA_RESTART keeps the back-ends' blocking
// reads and writes from failing with EINTR.
void onStopSignal(int signal) {
  const auto phase = static_cast<RunPhase>(static_cast<int>(runPhase));
  if (phase == RunPhase::starting) endAtOnce(signal);
  if (signal == SIGPIPE) {
    if (stopRequest == 0) stopRequest = signal;
    return;
  }
  if (phase == RunPhase::running && stopRequest == 0) {
    stopRequest = signal;
    return;
  }
  writeToStandardErrorNow(
      "\nretina-replay: stopped again: outputs not finished yet are abandoned, "
      "their targets left as they were\n");
  endAtOnce(signal);
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
    sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  prepareStandardStreams();  // before any file is opened
  const ParsedCommand parsed = parseReplayCommand(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::cerr << "retina-replay: " << parsed.error << "\n";
    return kReplayUsageError;
  }
  installStopHandlers();
  ReplayHooks hooks;
  hooks.stopSignal = &stopRequest;
  hooks.phase = &runPhase;
  hooks.progress = standardErrorIsTerminal();
  int status = runReplay(parsed.command, std::cout, std::cerr, hooks);
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == kReplayDone) {
    std::cerr << "retina-replay: cannot write standard output\n";
    status = kReplayFailed;
  }
  return status;
}
