#include "run/run.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "frame_input/frame_input.h"
#include "output.h"
#include "provenance.h"
#include "run/resident_memory.h"
#include "safe_output/exit_cleanup.h"

namespace {

double secondsSince(SteadyTime start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Why the model's fovea cannot do its work on a frame of `size`, or an empty string: a side
// shorter than twice fovea.margin, where the margin rule (kept as it is: the upper bound is
// tested first) pins the centre, `center` after the first such frame, and off the frame where a
// side is shorter than the margin itself.
std::string smallFrameWarning(cv::Size size, std::int32_t margin, FoveaCenter center) {
  if (size.width >= 2 * std::int64_t{margin} && size.height >= 2 * std::int64_t{margin}) return {};
  const bool off =
      center.cx < 0 || center.cy < 0 || center.cx >= size.width || center.cy >= size.height;
  return "the " + std::to_string(size.width) + "x" + std::to_string(size.height) +
         " frames are less than twice fovea.margin (" + std::to_string(margin) +
         " pixels) across, so the model's fovea cannot keep that margin from every edge: the "
         "margin rule pins its centre at (" +
         std::to_string(center.cx) + ", " + std::to_string(center.cy) + ")" +
         (off ? ", off the frame, where its sensors see nothing and only frame markers are pushed"
              : "");
}

bool isDataFile(const Output& output) {
  return output.role() == RunRole::exportFile || output.role() == RunRole::statsFile;
}

// Everything that lives for one run, in the order it is made.
class RunState {
 public:
  RunState(RunSpec runSpec, RunControl& control)
      : runSpec_(std::move(runSpec)), control_(control), clock_(runSpec_.deterministic) {}

  // Opens the input and prepares every output; false, with result_.refusal, when refused.
  bool prepare();
  // The session over the frames, until the input, the limit, the observer or a stop ends it.
  void loop();
  // However the loop ended: stops the session and finishes every output. Returns the result.
  RunResult& finish();
  RunResult& result() { return result_; }

 private:
  void setPhase(RunPhase phase) {
    if (control_.phase != nullptr) *control_.phase = static_cast<int>(phase);
  }
  bool refuse(Refusal refusal) {
    result_.end = RunEnd::refused;
    result_.refusal = std::move(refusal);
    return false;
  }
  bool stopRequested() {
    if (control_.stopSignal == nullptr || *control_.stopSignal == 0) return false;
    result_.stopSignal = *control_.stopSignal;
    result_.end = RunEnd::stopSignal;
    return true;
  }
  void warn(std::string warning) {
    if (control_.onWarning) control_.onWarning(warning);
    result_.warnings.push_back(std::move(warning));
  }
  // One frame read and stepped; false once the run ends.
  bool runFrame(ExitFinisher& exitFinisher);
  // The drawn frame through every output; true when one failed.
  bool writeOutputs(const FrameResult& result, double readSeconds, double& dataSeconds);

  RunSpec runSpec_;
  RunControl& control_;
  RunResult result_;
  FrameInput input_;
  std::vector<std::unique_ptr<Output>> outputs_;
  FrameClock clock_;
  bool recordEvents_ = false;
  std::optional<Session> session_;
  std::vector<RetinaEvent> frameEvents_;
  cv::Mat frame_;
  double residentMib_ = 0.0;
  bool shown_ = false;        // the observer has seen a frame (a window toolkit is set up)
  bool modelFovea_ = false;   // the model moves the fovea (the margin rule applies)
  bool warnedSmall_ = false;  // smallFrameWarning has been said
  bool finished_ = false;
};

bool RunState::prepare() {
  setPhase(RunPhase::starting);
  std::string problem = validateParameters(runSpec_.parameters);
  if (!problem.empty()) {
    return refuse(refusalOf(Refusal::Kind::parametersInvalid, RunRole::configFile,
                            runSpec_.configFile, problem));
  }
  problem = input_.open(runSpec_.input);
  if (!problem.empty()) {
    return refuse(
        refusalOf(Refusal::Kind::inputUnreadable, RunRole::input, runSpec_.input.path, problem));
  }
  if (!runSpec_.foveaPathFile.empty()) {
    std::string outside = checkFoveaPathInside(runSpec_.fovea.path, input_.firstFrameSize());
    if (!outside.empty()) {
      return refuse(refusalOf(Refusal::Kind::foveaPathOutside, RunRole::foveaPathFile,
                              runSpec_.foveaPathFile, outside));
    }
  }
  outputs_ = makeOutputs(runSpec_);
  if (std::optional<Refusal> refusal = vetOutputs(outputs_, runSpec_, input_)) {
    return refuse(std::move(*refusal));
  }
  const RunProvenance provenance = runProvenance(runSpec_, input_);
  const std::string startTime = utcNow();
  const OutputContext context{runSpec_, input_, provenance, startTime, control_.stopSignal};
  for (const auto& output : outputs_) {
    problem = output->prepare(context);
    if (!problem.empty()) {
      Refusal refusal =
          refusalOf(Refusal::Kind::outputUnwritable, output->role(), output->target(), problem);
      outputs_.clear();  // each removes its temporary file
      return refuse(std::move(refusal));
    }
    recordEvents_ = recordEvents_ || output->needsEvents();
  }
  return true;
}

void RunState::loop() {
  ExitFinisher exitFinisher([this] {
    result_.end = RunEnd::toolkitExit;
    return control_.onToolkitExit ? control_.onToolkitExit(finish()) : 1;
  });
  setPhase(RunPhase::running);
  result_.end = RunEnd::inputEnded;
  try {
    modelFovea_ = runSpec_.fovea.mode == FoveaMode::model;
    // The fovea's mode and file stay in runSpec_ for the record; its path moves into the session.
    SessionConfig config = sessionConfig(runSpec_.parameters, std::move(runSpec_.fovea), clock_);
    config.recordEvents = recordEvents_;
    // A large layout takes seconds to build: a stop abandons it.
    config.layoutProgress = [this](std::int64_t done, std::int64_t total) {
      if (control_.onLayout) control_.onLayout(done, total);
      return !stopRequested();
    };
    session_.emplace(std::move(config));
    for (const auto& output : outputs_)
      output->start(session_->sensorCount());
    if (control_.onStart) {
      control_.onStart(
          {session_->sensorCount(), input_.expectedFrames(), input_.framesPerSecond()});
    }
    while (runFrame(exitFinisher)) {
    }
  } catch (const LayoutCancelled&) {
    // A stop: stopRequested() has said so in result_.
  } catch (const std::bad_alloc&) {
    result_.end = RunEnd::error;
    result_.error = std::string(std::strerror(ENOMEM)) +
                    " (the process's memory limit, ulimit -v, or the machine's is reached)";
  } catch (const std::exception& e) {
    result_.end = RunEnd::error;
    result_.error = e.what();
  }
}

bool RunState::runFrame(ExitFinisher& exitFinisher) {
  if (stopRequested()) return false;
  const SteadyTime readStart = std::chrono::steady_clock::now();
  bool stopped = false;
  const FrameTimes times = clock_.timeRead([&] {
    // A stream may stall for ever: the wait is cut short by a stop.
    while (!input_.readWithin(frame_, kStopCheck)) {
      if (control_.onWait) control_.onWait();
      stopped = stopRequested();
      if (stopped) return;
    }
  });
  if (stopped) return false;
  if (frame_.empty()) {
    if (input_.limitReached()) result_.end = RunEnd::frameLimit;
    return false;
  }
  const double readSeconds = secondsSince(readStart);
  const FrameResult result = session_->step(frame_, times);
  double dataSeconds = 0.0;
  bool failed = false;
  if (result.drawn) {
    ++result_.frames;
    result_.eventsPushed += result.eventsPushed;
    residentMib_ = residentMemoryMib();
    if (recordEvents_) session_->takeFrameEvents(frameEvents_);
    if (modelFovea_ && !warnedSmall_) {
      std::string warning =
          smallFrameWarning(frame_.size(), runSpec_.parameters.fovea.margin, result.center);
      warnedSmall_ = !warning.empty();
      if (warnedSmall_) warn(std::move(warning));
    }
    failed = writeOutputs(result, readSeconds, dataSeconds);
  }
  FrameAction action = FrameAction::carryOn;
  if (control_.onFrame) {
    const bool latencyDue = result.drawn && !failed && session_->latencyDue(clock_.now());
    action = control_.onFrame(
        {result, result_.frames, readSeconds, dataSeconds, residentMib_, failed, latencyDue});
    // The toolkit has set itself up by now, its exit-time teardown included.
    if (control_.window && result.drawn && !shown_) exitFinisher.runBeforeLaterTeardowns();
    shown_ = shown_ || result.drawn;
  }
  if (failed) {
    result_.end = RunEnd::outputFailed;
    return false;
  }
  if (action == FrameAction::recenter) session_->recenter();
  if (action == FrameAction::quit) result_.end = RunEnd::quitKey;
  if (action == FrameAction::windowClosed) result_.end = RunEnd::windowClosed;
  return action == FrameAction::carryOn || action == FrameAction::recenter;
}

bool RunState::writeOutputs(const FrameResult& result, double readSeconds, double& dataSeconds) {
  const RetinaPlacement placement = session_->placement();
  OutputFrame frame{result_.frames, result, placement, readSeconds, residentMib_, frameEvents_};
  bool failed = false;
  for (const auto& output : outputs_) {
    // After a picture's failure the other pictures of the frame wait; each data file still takes
    // the frame, so that the CSV stays complete up to the last frame drawn when the export fails.
    const bool data = isDataFile(*output);
    if (failed && !data) continue;
    const SteadyTime start = std::chrono::steady_clock::now();
    if (!output->write(frame).empty()) failed = true;
    if (data) dataSeconds += secondsSince(start);
  }
  return failed;
}

RunResult& RunState::finish() {
  if (finished_) return result_;
  finished_ = true;
  setPhase(RunPhase::finishing);
  OutputEnding ending;
  if (session_) {
    result_.queue = session_->stop();
    if (recordEvents_) ending.eventsAfterLastFrame = session_->takeEventsAfterLastFrame();
  }
  input_.close();
  result_.inputEndedEarly = input_.endedEarly();
  if (control_.onFinishing) control_.onFinishing(result_);
  ending.end = result_.end;
  ending.stopSignal = result_.stopSignal;
  ending.framesRun = result_.frames;
  if (!input_.endedEarly().empty()) {
    ending.inputEndedEarlyFrame = input_.endedEarlyFrame();
    ending.inputEndedEarly = input_.endedEarly();
  }
  ending.onBacklog = control_.onBacklog;
  for (const bool last : {false, true}) {
    for (const auto& output : outputs_)
      if (output->finishesLast() == last) output->finish(ending, result_);
  }
  return result_;
}

}  // namespace

RunResult run(RunSpec runSpec, RunControl& control) {
  RunState state(std::move(runSpec), control);
  if (!state.prepare()) return std::move(state.result());
  state.loop();
  return std::move(state.finish());
}
