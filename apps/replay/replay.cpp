#include "apps/replay/replay.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "apps/replay/exports.h"
#include "apps/replay/outputs.h"
#include "apps/replay/pacing.h"
#include "apps/replay/progress.h"
#include "apps/replay/run_parameters.h"
#include "apps/replay/summary.h"
#include "frame_input/frame_input.h"
#include "platform/platform.h"
#include "platform/x_display.h"
#include "safe_output/exit_cleanup.h"
#include "safe_output/target_checks.h"
#include "session/console_lines.h"
#include "session/frame_clock.h"
#include "session/parameter_file.h"
#include "session/session.h"

namespace {

volatile std::sig_atomic_t phase = static_cast<int>(RunPhase::starting);

void setRunPhase(RunPhase next) {
  phase = static_cast<int>(next);
}

enum class RunEnd {
  inputEnded,
  frameLimit,
  quitKey,
  windowClosed,
  stopSignal,
  outputFailed,
  error,
  toolkitExit,  // a library called exit() in the middle of the run (Qt: its X connection broke)
};

// How the run ended, as the data files record it. Completed: the whole input or frame limit ran.
ExportEnd exportEnd(RunEnd end, int signalNumber) {
  switch (end) {
    case RunEnd::inputEnded:
      return {"input ended", true};
    case RunEnd::frameLimit:
      return {"frame limit", true};
    case RunEnd::quitKey:
      return {"key", false};
    case RunEnd::windowClosed:
      return {"window closed", false};
    case RunEnd::stopSignal:
      return {signalNumber == SIGINT    ? "signal SIGINT"
              : signalNumber == SIGTERM ? "signal SIGTERM"
              : signalNumber == SIGHUP  ? "signal SIGHUP"
              : signalNumber == SIGPIPE ? "signal SIGPIPE"
              : signalNumber == SIGQUIT ? "signal SIGQUIT"
                                        : "signal " + std::to_string(signalNumber),
              false};
    case RunEnd::outputFailed:
      return {"output failed", false};
    case RunEnd::toolkitExit:
      return {"display lost", false};
    case RunEnd::error:
      break;
  }
  return {"failure", false};
}

// Before any output is prepared, every target at once: none may be one of the run's inputs (the
// parameter file, the fovea path, the input's own files) or named by two outputs, and no
// snapshot frame may lie beyond the input's known end. An empty string or the first refusal.
std::string vetOutputs(const ReplayOptions& options, const RunParameters& run,
                       const FrameInput& input) {
  std::vector<std::string> snapshots;
  for (const SnapshotRequest& shot : options.snapshots)
    snapshots.push_back(shot.path);
  const auto then = [](std::vector<std::string> first, const std::vector<std::string>& more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
  };
  for (const std::string& target :
       then({options.outPath, options.exportPath, options.statsPath}, snapshots)) {
    for (const std::string* file : {&run.configFile, &run.foveaPathFile}) {
      if (!target.empty() && !file->empty() && fileIdentity(target) == fileIdentity(*file)) {
        return "will not write '" + target + "': it is the file " +
               (file == &run.configFile ? "--config" : "--fovea-path") + " reads";
      }
    }
  }
  const std::int64_t expected = input.expectedFrames();
  for (const SnapshotRequest& shot : options.snapshots) {
    if (expected > 0 && shot.frame > expected) {
      return "--snapshot frame " + std::to_string(shot.frame) +
             " is beyond the input's last frame (" + std::to_string(expected) + ")";
    }
  }
  std::set<std::string> files;
  for (const std::string& target :
       then(then({options.outPath}, snapshots), {options.exportPath, options.statsPath})) {
    if (target.empty()) continue;
    if (input.readsFile(target)) {
      return "will not write '" + target + "': it is one of the input's files; choose another name";
    }
    if (!files.insert(fileIdentity(target)).second) {
      return "will not write '" + target + "' twice: two outputs name the same file";
    }
  }
  return {};
}

double secondsSince(SteadyTime start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Remembers why the console stream first failed: errno right after the write that failed.
struct ConsoleCheck {
  std::string cause;
  void after(const std::ostream& out) {
    if (!out && cause.empty()) cause = errno != 0 ? std::strerror(errno) : "write error";
  }
};

}  // namespace

RunPhase runPhase() {
  return static_cast<RunPhase>(static_cast<int>(phase));
}

int runReplay(ReplayOptions options, std::ostream& out, std::ostream& err,
              const ReplayHooks& hooks) {
  setRunPhase(RunPhase::starting);
  auto refuse = [&err](const std::string& message) {
    err << "retina-replay: " << message << "\n";
    return kReplayUsageError;
  };
  // --help, --version and --print-config answer on standard output, and that is all.
  const auto answer = [&out, &err](const std::string& text) {
    ConsoleCheck console;
    errno = 0;
    out << text;
    console.after(out);
    out.flush();
    console.after(out);
    if (console.cause.empty()) return kReplayDone;
    err << "retina-replay: cannot write standard output: " << console.cause << "\n";
    return kReplayFailed;
  };
  if (options.help || options.version) {
    return answer(options.help ? replayUsage() : replayVersion() + "\n");
  }
  if (options.checkDisplay) {
    const std::string why = windowUnavailableReason();
    if (why.empty()) return kReplayDone;
    err << "retina-replay: " << why << "\n";
    return kReplayFailed;
  }
  RunParameters run;
  std::string problem = loadRunParameters(options, run);
  if (!problem.empty()) return refuse(problem);
  if (options.printConfig) return answer(parametersToToml(run.parameters));
  if (!options.headless) {
    const std::string why = windowUnavailableReason();
    if (!why.empty() && options.fast) {
      return refuse("--fast unpaces a window, and there is none here: " + why);
    }
    if (!why.empty()) {
      err << "retina-replay: " << why << "; running headless\n";
      options.headless = true;
    }
  }

  // Everything is opened and checked before any output file exists.
  FrameInput input;
  problem = input.open(inputRequest(options));
  if (!problem.empty()) return refuse(problem);
  problem = checkRunParameters(run, options, input.firstFrameSize());
  if (problem.empty()) problem = vetOutputs(options, run, input);
  if (!problem.empty()) return refuse(problem);
  const std::int64_t expected = input.expectedFrames();
  ReplayOutputs outputs(options);
  problem = outputs.prepare(input);
  if (!problem.empty()) return refuse(problem);
  ReplayExports exports(options);
  problem = exports.open(run, input);
  if (!problem.empty()) return refuse(problem);

  FrameClock clock(options.deterministic);
  // run.fovea's mode and file stay for the record; its path moves into the session.
  SessionConfig config = sessionConfig(run.parameters, std::move(run.fovea), clock);
  config.recordEvents = exports.needsEvents();
  std::vector<RetinaEvent> frameEvents;
  const bool paced = !options.headless && !options.fast && options.source != InputKind::camera;
  FramePacer pacer(paced ? input.framesPerSecond() : 0.0, kKeyWaitMs);
  ProgressLine progress(err, hooks.progress, expected);
  ConsoleCheck console;

  ReplaySummary summary;
  EventQueueStats queue{};
  RunEnd end = RunEnd::inputEnded;
  int stopSignal = 0;
  std::string runError;
  std::optional<Session> session;
  bool windowShown = false;

  // The end of the run, however it came: after the loop, or from inside a library's exit().
  const auto finishRun = [&]() -> int {
    setRunPhase(RunPhase::finishing);
    std::vector<RetinaEvent> eventsAfterLastFrame;
    if (session) {
      queue = session->stop();
      if (config.recordEvents) eventsAfterLastFrame = session->takeEventsAfterLastFrame();
    }
    input.close();
    progress.clear();
    if (end == RunEnd::toolkitExit) {
      err << "retina-replay: the window toolkit is ending the program (" +
                 std::string(windowShown ? "its X connection was lost?" : "at its start") +
                 "); the run ends here, as on ESC\n";
    }
    const auto frames = static_cast<std::int64_t>(summary.frames());
    if (!input.endedEarly().empty()) {
      err << "retina-replay: warning: the input ended early: " << input.endedEarly() << "\n";
      summary.setInputEndedEarly(input.endedEarly());
      exports.noteInputEndedEarly(input.endedEarlyFrame(), input.endedEarly());
    }
    OutputsReport report = outputs.finish(frames);
    FinishingLine finishing(err, hooks.progress, options.exportPath);
    report.append(exports.finish(exportEnd(end, stopSignal), frames,
                                 std::move(eventsAfterLastFrame),
                                 [&finishing](std::size_t left) { finishing.show(left); }));
    finishing.clear();
    summary.setOutputs(report.outcomes);
    summary.print(out, queue, options.deterministic, changedParameters(run.parameters));
    out.flush();
    console.after(out);

    int status = end == RunEnd::stopSignal ? kReplaySignalBase + stopSignal : kReplayDone;
    auto failed = [&](const std::string& message) {
      err << "retina-replay: " << message << "\n";
      status = kReplayFailed;
    };
    if (!runError.empty()) failed("stopped by an error: " + runError);
    for (const std::string& message : report.failures)
      failed(message);
    for (const std::string& message : report.missed) {
      // The input ending early is a failure; a user who stops the run knows it stopped.
      if (end == RunEnd::inputEnded || end == RunEnd::frameLimit) {
        failed(message);
      } else {
        err << "retina-replay: " << message << "\n";
      }
    }
    // A reader that went away (SIGPIPE) is an ordinary end for a command in a pipe.
    if (!console.cause.empty() && !(end == RunEnd::stopSignal && stopSignal == SIGPIPE)) {
      failed("cannot write standard output: " + console.cause);
    }
    // Last: the toolkit may end the process here, and everything is in place by now.
    if (!options.headless && end != RunEnd::toolkitExit) closeAllWindows();
    return status;
  };

  {
    ExitFinisher exitFinisher([&] {
      end = RunEnd::toolkitExit;
      return finishRun();
    });
    setRunPhase(RunPhase::running);
    try {
      session.emplace(std::move(config));
      exports.start(session->sensorCount());
      printBanner(out, session->sensorCount(), !options.headless);
      console.after(out);
      std::unique_ptr<XWindowWatch> watch;
      if (!options.headless) watch = std::make_unique<XWindowWatch>();
      cv::Mat frame;
      for (;;) {
        if (hooks.stopSignal != nullptr && *hooks.stopSignal != 0) {
          stopSignal = *hooks.stopSignal;
          end = RunEnd::stopSignal;
          break;
        }
        const SteadyTime readStart = std::chrono::steady_clock::now();
        const FrameTimes times = clock.timeRead([&] { input.read(frame); });
        if (frame.empty()) {
          if (input.limitReached()) end = RunEnd::frameLimit;
          break;
        }
        const double readSeconds = secondsSince(readStart);

        const FrameResult result = session->step(frame, times);
        if (result.drawn && config.recordEvents) session->takeFrameEvents(frameEvents);
        if (result.drawn) {
          summary.add({readSeconds, result.seconds, result.eventsPushed});
          const auto frameNumber = static_cast<std::int64_t>(summary.frames());
          const double residentMib = summary.noteMemoryMib(frameNumber);
          if (!options.headless) {
            showInWindow(result.canvas);
            // The toolkit has set itself up by now, its exit-time teardown included.
            if (!windowShown) exitFinisher.runBeforeLaterTeardowns();
            windowShown = true;
          }
          const std::string outputsProblem = outputs.write(frameNumber, result.canvas);
          const std::string exportsProblem = exports.add(result, session->placement(), readSeconds,
                                                         frameNumber, residentMib, frameEvents);
          if (exports.enabled()) summary.addExport(exports.lastSeconds());
          if (hooks.onCanvas) hooks.onCanvas(result.canvas);
          if (!outputsProblem.empty() || !exportsProblem.empty()) {
            end = RunEnd::outputFailed;
            break;
          }
        }
        if (!options.headless) {
          if (applyKey(*session, pollKey(pacer.keyWaitMs()))) {
            end = RunEnd::quitKey;
            break;
          }
          // The close button hides the window; showing the next frame would bring it back.
          if (windowShown && (windowClosed() || watch->destroyed(kWindowTitle))) {
            end = RunEnd::windowClosed;
            break;
          }
        }
        if (result.drawn) {
          if (session->latencyDue(clock.now())) {
            progress.clear();
            printLatency(out, result.frameTimeMs);
            console.after(out);
          }
          progress.update(static_cast<std::int64_t>(summary.frames()));
        }
      }
    } catch (const std::exception& e) {
      end = RunEnd::error;
      runError = e.what();
    }
  }
  return finishRun();
}
