#include "tools/replay/replay.h"

#include <cstdlib>
#include <exception>
#include <ostream>
#include <string>

#include "app/platform.h"
#include "app/session.h"
#include "tools/replay/exports.h"
#include "tools/replay/frame_clock.h"
#include "tools/replay/inputs.h"
#include "tools/replay/outputs.h"
#include "tools/replay/summary.h"

namespace {

bool displayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

double secondsSince(SteadyTime start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int runReplay(ReplayOptions options, std::ostream& out, std::ostream& err,
              const std::function<void(const cv::Mat& canvas)>& onCanvas) {
  auto fail = [&err](const std::string& message) {
    err << "retina-replay: " << message << "\n";
    return kReplayUsageError;
  };
  if (options.help) {
    out << replayUsage();
    return 0;
  }
  if (!options.headless && !displayAvailable()) {
    err << "retina-replay: no display found, running headless\n";
    options.headless = true;
  }

  // Everything is opened and checked before any output file exists.
  ReplayInput input;
  std::string problem = input.open(options);
  if (!problem.empty()) return fail(problem);
  ReplayOutputs outputs(options);
  problem = outputs.check();
  if (!problem.empty()) return fail(problem);
  ReplayExports exports(options);
  problem = exports.open();
  if (!problem.empty()) return fail(problem);

  FixedFrameClock clock;
  SessionConfig config;
  if (options.deterministic) {
    config.modelMode = ModelMode::steppedAfterEmission;
    config.clock = [&clock] { return clock.now(); };
    config.modelClock = [&clock] { return clock.seconds(); };
  }

  ReplaySummary summary;
  EventQueueStats queue{};
  try {
    Session session(config, out);
    exports.start(session);
    out << "Demo C++ cu camera si model neuronal (Konio + TRN)\n";
    out << "Taste: 'r' - reseteaza centrul, ESC - iesire\n";
    cv::Mat frame;
    for (;;) {
      const SteadyTime readStart = std::chrono::steady_clock::now();
      const SteadyTime t0 = session.now();
      if (options.deterministic) clock.advance();
      input.read(frame);
      if (frame.empty()) break;
      const SteadyTime t1 = session.now();
      const double readSeconds = secondsSince(readStart);

      const FrameResult result = session.step(frame, t0, t1);
      if (result.drawn) {
        summary.add({readSeconds, result.seconds, result.eventsPushed});
        const auto frameNumber = static_cast<std::int64_t>(summary.frames());
        summary.noteMemory(frameNumber);
        if (!options.headless) showInWindow(result.canvas);
        const bool outputsOk = outputs.write(frameNumber, result.canvas);
        const bool exportsOk = exports.add(session, result, readSeconds, frameNumber);
        if (exports.enabled()) summary.addExport(exports.lastSeconds());
        if (onCanvas) onCanvas(result.canvas);
        if (!outputsOk || !exportsOk) break;
      }
      if (applyKey(session, options.headless ? -1 : pollKey(kKeyWaitMs))) break;
      if (result.drawn) session.reportLatency(session.now(), out);
    }
    queue = session.stop();
  } catch (const std::exception& e) {
    outputs.discard();
    exports.discard();
    err << "retina-replay: stopped by an error: " << e.what() << "\n";
    return 1;
  }
  input.close();
  if (!options.headless) closeAllWindows();

  if (!outputs.error().empty() || !exports.error().empty()) {
    outputs.discard();
    exports.discard();
    return fail(outputs.error().empty() ? exports.error() : outputs.error());
  }
  summary.print(out, queue, options.deterministic);
  if (!outputs.finish(static_cast<std::int64_t>(summary.frames()))) {
    outputs.discard();  // a run that fails leaves no output behind, the recording included
    exports.discard();
    return fail(outputs.error());
  }
  if (!exports.finish()) {
    outputs.discard();
    return fail(exports.error());
  }
  return 0;
}
