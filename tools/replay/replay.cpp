#include "tools/replay/replay.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include "app/frame_clock.h"
#include "app/parameter_file.h"
#include "app/platform.h"
#include "app/session.h"
#include "tools/replay/exports.h"
#include "tools/replay/inputs.h"
#include "tools/replay/outputs.h"
#include "tools/replay/pacing.h"
#include "tools/replay/progress.h"
#include "tools/replay/run_parameters.h"
#include "tools/replay/summary.h"
#include "tools/replay/x_display.h"

namespace {

enum class RunEnd {
  inputEnded,
  frameLimit,
  quitKey,
  windowClosed,
  stopSignal,
  outputFailed,
  error
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
                                        : "signal " + std::to_string(signalNumber),
              false};
    case RunEnd::outputFailed:
      return {"output failed", false};
    case RunEnd::error:
      break;
  }
  return {"failure", false};
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

int runReplay(ReplayOptions options, std::ostream& out, std::ostream& err,
              const ReplayHooks& hooks) {
  auto refuse = [&err](const std::string& message) {
    err << "retina-replay: " << message << "\n";
    return kReplayUsageError;
  };
  if (options.help || options.version) {
    out << (options.help ? replayUsage() : replayVersion() + "\n");
    out.flush();
    return out ? kReplayDone : kReplayFailed;
  }
  RunParameters run;
  std::string problem = loadRunParameters(options, run);
  if (!problem.empty()) return refuse(problem);
  if (options.printConfig) {
    out << parametersToToml(run.parameters);
    out.flush();
    return out ? kReplayDone : kReplayFailed;
  }
  if (!options.headless) {
    const std::string why = windowUnavailableReason();
    if (!why.empty()) {
      err << "retina-replay: " << why << "; running headless\n";
      options.headless = true;
    }
  }

  // Everything is opened and checked before any output file exists.
  ReplayInput input;
  problem = input.open(options);
  if (!problem.empty()) return refuse(problem);
  problem = checkRunParameters(run, options, input.firstFrameSize());
  if (!problem.empty()) return refuse(problem);
  const std::int64_t expected = input.expectedFrames();
  ReplayOutputs outputs(options);
  problem = outputs.prepare(input);
  if (!problem.empty()) return refuse(problem);
  RunProvenance provenance;
  provenance.parameters = run.parameters;
  provenance.configFile = run.configFile;
  provenance.foveaControl = foveaControlText(run);
  describeInput(options, input, provenance);
  ReplayExports exports(options);
  problem = exports.open(provenance);
  if (!problem.empty()) return refuse(problem);

  FixedFrameClock clock;
  SessionConfig config;
  config.parameters = run.parameters;
  config.fovea = run.fovea;
  if (options.deterministic) runOnFrameClock(config, clock);
  const bool paced = !options.headless && !options.fast && options.source != ReplaySource::camera;
  FramePacer pacer(paced ? input.framesPerSecond() : 0.0, kKeyWaitMs);
  ProgressLine progress(err, hooks.progress, expected);
  ConsoleCheck console;

  ReplaySummary summary;
  EventQueueStats queue{};
  RunEnd end = RunEnd::inputEnded;
  int stopSignal = 0;
  std::string runError;
  try {
    Session session(config, out);
    exports.start(session);
    out << "Demo C++ cu camera si model neuronal (Konio + TRN)\n";
    if (!options.headless) out << "Taste: 'r' - reseteaza centrul, ESC - iesire\n";
    console.after(out);
    bool windowShown = false;
    std::unique_ptr<XWindowWatch> watch;
    if (!options.headless) watch = std::make_unique<XWindowWatch>();
    cv::Mat frame;
    std::ostringstream latency;
    for (;;) {
      if (hooks.stopSignal != nullptr && *hooks.stopSignal != 0) {
        stopSignal = *hooks.stopSignal;
        end = RunEnd::stopSignal;
        break;
      }
      const SteadyTime readStart = std::chrono::steady_clock::now();
      const SteadyTime t0 = session.now();
      if (options.deterministic) clock.advance();
      input.read(frame);
      if (frame.empty()) {
        if (input.limitReached()) end = RunEnd::frameLimit;
        break;
      }
      const SteadyTime t1 = session.now();
      const double readSeconds = secondsSince(readStart);

      const FrameResult result = session.step(frame, t0, t1);
      if (result.drawn) {
        summary.add({readSeconds, result.seconds, result.eventsPushed});
        const auto frameNumber = static_cast<std::int64_t>(summary.frames());
        const double residentMib = summary.noteMemory(frameNumber);
        if (!options.headless) {
          showInWindow(result.canvas);
          windowShown = true;
        }
        const bool outputsOk = outputs.write(frameNumber, result.canvas);
        const bool exportsOk = exports.add(session, result, readSeconds, frameNumber, residentMib);
        if (exports.enabled()) summary.addExport(exports.lastSeconds());
        if (hooks.onCanvas) hooks.onCanvas(result.canvas);
        if (!outputsOk || !exportsOk) {
          end = RunEnd::outputFailed;
          break;
        }
      }
      if (!options.headless) {
        if (applyKey(session, pollKey(pacer.keyWaitMs()))) {
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
        latency.str("");
        session.reportLatency(session.now(), latency);
        if (!latency.str().empty()) {
          progress.clear();
          out << latency.str();
          console.after(out);
        }
        progress.update(static_cast<std::int64_t>(summary.frames()));
      }
    }
    queue = session.stop();
  } catch (const std::exception& e) {
    end = RunEnd::error;
    runError = e.what();
  }
  input.close();
  if (!options.headless) closeAllWindows();
  progress.clear();

  summary.print(out, queue, options.deterministic, changedParameters(run.parameters));
  out.flush();
  console.after(out);
  const OutputsReport report = outputs.finish(static_cast<std::int64_t>(summary.frames()));
  // The session is gone by now, its worker joined: the export's push log is quiet.
  const bool exportsOk = exports.finish(exportEnd(end, stopSignal));

  int status = end == RunEnd::stopSignal ? kReplaySignalBase + stopSignal : kReplayDone;
  auto failed = [&](const std::string& message) {
    err << "retina-replay: " << message << "\n";
    status = kReplayFailed;
  };
  if (!runError.empty()) failed("stopped by an error: " + runError);
  for (const std::string& message : report.failures)
    failed(message);
  if (!exportsOk) failed(exports.error());
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
  return status;
}
