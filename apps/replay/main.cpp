// retina-replay: the demo's frame loop on a video, an image, a camera or a synthetic scene, in
// a window or headless, with recording, a deterministic mode and a timing summary.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "apps/replay/replay.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "run/run.h"
#include "safe_output/exit_cleanup.h"

namespace {

// The globals of main: a signal handler can only reach flags. The run reads the stop request
// while it waits and between frames, and keeps its phase in `runPhase`. (safe_output's
// exit_cleanup.h holds the temporary files' list, which the handler also reaches.)
volatile std::sig_atomic_t stopRequest = 0;
volatile std::sig_atomic_t runPhase = static_cast<int>(RunPhase::starting);

// Abandons what is not finished (an existing target keeps its old file) and ends the process.
[[noreturn]] void endAtOnce(int signal) {
  removeTemporariesNow();
  _exit(kReplaySignalBase + signal);
}

// Signals that come again by themselves rather than as someone's second word: writing the
// summary into a closed pipe raises SIGPIPE again, the kernel repeats SIGXCPU every second past
// the soft CPU time limit, an interval timer keeps firing.
bool repeatsByItself(int signal) {
  return signal == SIGPIPE || signal == SIGXCPU || signal == SIGALRM || signal == SIGVTALRM ||
         signal == SIGPROF;
}

// Every signal that ends a process by default ends the run as ESC does, but the faults below:
// Ctrl-C, kill, a closed terminal, Ctrl-\, a closed pipe, SIGUSR1 and SIGUSR2, the timers, the CPU
// time limit, SIGIO, SIGPWR, SIGSTKFLT and every real-time signal. Before the run has started
// nothing needs finishing, so a stop ends the process at once, wherever it waits (a FIFO's
// writer, a stream). A second stop while the run ends, or one while its outputs are being
// finished, abandons what is not finished yet. SA_RESTART keeps the back-ends' blocking reads
// and writes from failing with EINTR.
void onStop(int signal) {
  const auto phase = static_cast<RunPhase>(static_cast<int>(runPhase));
  if (phase == RunPhase::starting) endAtOnce(signal);
  if (repeatsByItself(signal)) {
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

// A fault of the program's own (a bad access, an arithmetic trap, abort()) leaves nothing to
// finish safely: the temporary files go, a line says why, and the fault takes its course with
// the handler that was there before (the default's core dump, a sanitizer's report).
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT};
struct sigaction previousFaultActions[std::size(kFaultSignals)];

void onFault(int signal, const siginfo_t& info) {
  removeTemporariesNow();
  writeToStandardErrorNow("\nretina-replay: ended by SIG");
  const char* name = sigabbrev_np(signal);
  writeToStandardErrorNow(name != nullptr ? name : "?");
  writeToStandardErrorNow(
      ", a fault of the program: outputs not finished are abandoned, their targets left as "
      "they were\n");
  for (std::size_t i = 0; i < std::size(kFaultSignals); ++i) {
    if (kFaultSignals[i] == signal) sigaction(signal, &previousFaultActions[i], nullptr);
  }
  // An instruction that faulted faults again on return; anything else is raised again, to be
  // taken once this handler returns.
  const bool refaults = info.si_code > 0 && (signal == SIGSEGV || signal == SIGBUS ||
                                             signal == SIGFPE || signal == SIGILL);
  if (!refaults) raise(signal);
}

void onSignal(int signal, siginfo_t* info, void*) {
  // Sent by the process to itself (si_code <= 0 and its own pid): the kernel's SIGXFSZ for a
  // write past the file size limit, which then fails with EFBIG and fails its output; abort().
  const bool own = info != nullptr && info->si_code <= 0 && info->si_pid == getpid();
  const bool fault = std::find(std::begin(kFaultSignals), std::end(kFaultSignals), signal) !=
                     std::end(kFaultSignals);
  if (signal == SIGXFSZ && own) return;
  if (fault && (own || (info != nullptr && info->si_code > 0))) {
    onFault(signal, *info);
    return;
  }
  onStop(signal);  // sent by another process, faults' signals included
}

void installSignalHandlers() {
  struct sigaction action {};
  action.sa_sigaction = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_SIGINFO;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM,
                           SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT, SIGXCPU, SIGXFSZ}) {
    sigaction(signal, &action, nullptr);
  }
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
    sigaction(signal, &action, nullptr);
  for (std::size_t i = 0; i < std::size(kFaultSignals); ++i)
    sigaction(kFaultSignals[i], &action, &previousFaultActions[i]);
}

}  // namespace

int main(int argc, char** argv) {
  prepareStandardStreams();  // before any file is opened
  const ParsedCommand parsed = parseReplayCommand(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::cerr << "retina-replay: " << parsed.error << "\n";
    return kReplayUsageError;
  }
  installSignalHandlers();
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
