#include "apps/replay/replay.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "apps/replay/pacing.h"
#include "apps/replay/progress.h"
#include "apps/replay/summary.h"
#include "platform/platform.h"
#include "platform/x_display.h"
#include "run/run.h"
#include "session/console_lines.h"
#include "session/parameter_file.h"

namespace {

// Remembers why the console stream first failed: errno right after the write that failed.
struct ConsoleCheck {
  std::string cause;
  void after(const std::ostream& out) {
    if (!out && cause.empty()) cause = errno != 0 ? std::strerror(errno) : "write error";
  }
};

// The tool's side of a run: the console lines, the window and its keys, the progress line and
// the summary, as the run's observer.
class ReplayConsole {
 public:
  ReplayConsole(const ReplayCommand& command, std::ostream& out, std::ostream& err,
                const ReplayHooks& hooks)
      : display_(command.headless ? Display{} : windowDisplay(true)),
        out_(out),
        err_(err),
        hooks_(hooks),
        window_(!command.headless),
        paced_(!command.headless && !command.fast &&
               command.runSpec.input.kind != InputKind::camera),
        deterministic_(command.runSpec.deterministic),
        exportFile_(command.runSpec.exportFile),
        dataFiles_(!command.runSpec.exportFile.empty() || !command.runSpec.statsFile.empty()),
        changed_(changedParameters(command.runSpec.parameters)) {}

  RunControl control();
  // After the run: the summary, the messages and the exit status.
  int conclude(const RunResult& result);

 private:
  void start(const RunStart& start);
  FrameAction frame(const FrameReport& report);
  FrameAction keysAndWindow();
  void finishing(const RunResult& result);

  Display display_;  // the window; empty when headless
  std::ostream& out_;
  std::ostream& err_;
  const ReplayHooks& hooks_;
  bool window_;
  bool paced_;
  bool deterministic_;
  std::string exportFile_;
  bool dataFiles_;
  std::vector<std::string> changed_;
  std::optional<FramePacer> pacer_;
  std::optional<LayoutLine> layoutLine_;
  std::optional<ProgressLine> progress_;
  std::optional<FinishingLine> finishingLine_;
  ReplaySummary summary_;
  ConsoleCheck console_;
  bool windowShown_ = false;
  bool concluded_ = false;
  int status_ = kReplayDone;
};

RunControl ReplayConsole::control() {
  RunControl control;
  control.stopSignal = hooks_.stopSignal;
  control.phase = hooks_.phase;
  control.onLayout = [this](std::int64_t done, std::int64_t total) {
    if (!layoutLine_) layoutLine_.emplace(err_, hooks_.progress);
    layoutLine_->show(done, total);
  };
  control.onStart = [this](const RunStart& start) { this->start(start); };
  control.onFrame = [this](const FrameReport& report) { return frame(report); };
  control.onFinishing = [this](const RunResult& result) { finishing(result); };
  control.onWarning = [this](const std::string& warning) {
    if (progress_) progress_->clear();
    err_ << "retina-replay: warning: " << warning << "\n";
  };
  control.onBacklog = [this](std::size_t left) {
    if (!finishingLine_) finishingLine_.emplace(err_, hooks_.progress, exportFile_);
    finishingLine_->show(left);
  };
  control.window = window_;
  control.onToolkitExit = [this](const RunResult& result) { return conclude(result); };
  return control;
}

void ReplayConsole::start(const RunStart& start) {
  if (layoutLine_) layoutLine_->clear();
  pacer_.emplace(paced_ ? start.framesPerSecond : 0.0, kKeyWaitMs);
  progress_.emplace(err_, hooks_.progress, start.expectedFrames);
  printBanner(out_, start.sensorCount, window_);
  console_.after(out_);
}

FrameAction ReplayConsole::frame(const FrameReport& report) {
  const FrameResult& result = report.result;
  if (result.drawn) {
    summary_.add({report.readSeconds, result.seconds, result.eventsPushed});
    summary_.noteMemoryMib(report.number, report.residentMib);
    if (dataFiles_) summary_.addExport(report.dataSeconds);
    if (window_) {
      display_.show(result.canvas);
      windowShown_ = true;
    }
    if (hooks_.onCanvas) hooks_.onCanvas(result.canvas);
    if (report.outputFailed) return FrameAction::carryOn;  // the run ends here
  }
  const FrameAction action = window_ ? keysAndWindow() : FrameAction::carryOn;
  if (action != FrameAction::carryOn && action != FrameAction::recenter) return action;
  if (result.drawn) {
    if (report.latencyDue) {
      progress_->clear();
      printLatency(out_, result.frameTimeMs);
      console_.after(out_);
    }
    progress_->update(report.number);
  }
  return action;
}

FrameAction ReplayConsole::keysAndWindow() {
  const int key = display_.waitKey(pacer_->keyWaitMs());
  if (key == kQuitKey) return FrameAction::quit;
  // The close button hides the window; showing the next frame would bring it back.
  if (windowShown_ && display_.closed()) {
    return FrameAction::windowClosed;
  }
  return key == kResetKey ? FrameAction::recenter : FrameAction::carryOn;
}

void ReplayConsole::finishing(const RunResult& result) {
  if (layoutLine_) layoutLine_->clear();  // a stop while the layout was built
  if (progress_) progress_->clear();
  if (result.end == RunEnd::toolkitExit) {
    err_ << "retina-replay: the window toolkit is ending the program (" +
                std::string(windowShown_ ? "its X connection was lost?" : "at its start") +
                "); the run ends here, as on ESC\n";
  }
  if (!result.inputEndedEarly.empty()) {
    err_ << "retina-replay: warning: the input ended early: " << result.inputEndedEarly << "\n";
  }
}

int ReplayConsole::conclude(const RunResult& result) {
  if (concluded_) return status_;
  concluded_ = true;
  if (finishingLine_) finishingLine_->clear();
  summary_.setInputEndedEarly(result.inputEndedEarly);
  summary_.setOutputs(result.outputs);
  summary_.print(out_, result.queue, deterministic_, changed_);
  out_.flush();
  console_.after(out_);

  const bool stopped = result.end == RunEnd::stopSignal;
  status_ = stopped ? kReplaySignalBase + result.stopSignal : kReplayDone;
  const auto failed = [this](const std::string& message) {
    err_ << "retina-replay: " << message << "\n";
    status_ = kReplayFailed;
  };
  if (result.end == RunEnd::error) failed("stopped by an error: " + result.error);
  for (const std::string& message : result.failures)
    failed(message);
  for (const std::string& message : result.missed) {
    // The input ending early is a failure; a user who stops the run knows it stopped.
    if (runCompleted(result.end)) {
      failed(message);
    } else {
      err_ << "retina-replay: " << message << "\n";
    }
  }
  // A reader that went away (SIGPIPE) is an ordinary end for a command in a pipe.
  if (!console_.cause.empty() && !(stopped && result.stopSignal == SIGPIPE)) {
    failed("cannot write standard output: " + console_.cause);
  }
  // Last: the toolkit may end the process here, and everything is in place by now.
  if (window_ && result.end != RunEnd::toolkitExit) closeAllWindows();
  return status_;
}

// --help, --version and --print-config answer on standard output, and that is all.
int answer(std::ostream& out, std::ostream& err, const std::string& text) {
  ConsoleCheck console;
  errno = 0;
  out << text;
  console.after(out);
  out.flush();
  console.after(out);
  if (console.cause.empty()) return kReplayDone;
  err << "retina-replay: cannot write standard output: " << console.cause << "\n";
  return kReplayFailed;
}

}  // namespace

int runReplay(ReplayCommand command, std::ostream& out, std::ostream& err,
              const ReplayHooks& hooks) {
  if (hooks.phase != nullptr) *hooks.phase = static_cast<int>(RunPhase::starting);
  const auto refuse = [&err](const std::string& message) {
    err << "retina-replay: " << message << "\n";
    return kReplayUsageError;
  };
  if (command.help || command.version) {
    return answer(out, err, command.help ? replayUsage() : replayVersion() + "\n");
  }
  if (command.checkDisplay) {
    const std::string why = windowUnavailableReason();
    if (why.empty()) return kReplayDone;
    err << "retina-replay: " << why << "\n";
    return kReplayFailed;
  }
  const std::string problem = loadRunFiles(command);
  if (!problem.empty()) return refuse(problem);
  if (command.printConfig) return answer(out, err, parametersToToml(command.runSpec.parameters));
  if (!command.headless) {
    const std::string why = windowUnavailableReason();
    if (!why.empty() && command.fast) {
      return refuse("--fast unpaces a window, and there is none here: " + why);
    }
    if (!why.empty()) {
      err << "retina-replay: " << why << "; running headless\n";
      command.headless = true;
    }
  }
  ReplayConsole console(command, out, err, hooks);
  RunControl control = console.control();
  const RunResult result = run(std::move(command.runSpec), control);
  if (result.end == RunEnd::refused) return refuse(describeRefusal(*result.refusal, optionName));
  return console.conclude(result);
}
