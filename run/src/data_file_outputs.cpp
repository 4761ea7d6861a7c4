// The data files as outputs: the HDF5 export and the CSV statistics.

#include "datafiles/stats.h"
#include "output.h"
#include "provenance.h"
#include "run/version.h"

namespace {

// The cause in a data file's message, which is cannotWrite(TARGET, CAUSE).
std::string causeOf(const std::string& message, const std::string& target) {
  const std::string head = cannotWrite(target, "") + ": ";
  return message.rfind(head, 0) == 0 ? message.substr(head.size()) : message;
}

// A data file that no frame reached: nothing written, its temporary file gone.
void settleUndrawn(RunRole role, const std::string& target, RunResult& result) {
  result.missed.push_back("no frame was drawn, so '" + target + "' was not written");
  result.outputs.push_back(notWritten(role, target, "no frame was drawn"));
}

// How the run ended, as the data files record it: a run whose input ended before its known end
// (a truncated or damaged clip, a gap in an image sequence) did not go through its whole input,
// so it is not completed, though nothing stopped it.
ExportEnd dataFileEnd(const OutputEnding& ending) {
  ExportEnd end = exportEnd(ending.end, ending.stopSignal);
  if (ending.inputEndedEarlyFrame > 0) end.completed = false;
  return end;
}

void settle(RunRole role, const std::string& target, const std::string& message,
            RunResult& result) {
  if (!message.empty()) result.failures.push_back(message);
  result.outputs.push_back(message.empty() ? written(role, target)
                                           : notWritten(role, target, causeOf(message, target)));
}

class ExportOutput : public Output {
 public:
  explicit ExportOutput(const RunSpec& runSpec) : runSpec_(runSpec) {}

  RunRole role() const override { return RunRole::exportFile; }
  const std::string& target() const override { return runSpec_.exportFile; }
  bool needsEvents() const override { return true; }
  bool finishesLast() const override { return true; }

  std::string prepare(const OutputContext& context) override {
    info_.tool = kReplayToolName;
    info_.version = kReplayVersion;
    info_.commandLine = runSpec_.commandLine;
    info_.input = inputText(runSpec_.input);
    info_.deterministic = runSpec_.deterministic;
    info_.startTime = context.startTime;
    info_.provenance = context.provenance;
    stopSignal_ = context.stopSignal;
    return export_.create(runSpec_.exportFile, runSpec_.exportGains);
  }

  void start(std::size_t sensorCount) override {
    info_.sensorCount = static_cast<std::int64_t>(sensorCount);
    export_.start(info_, runSpec_.exportOnRunThread ? ExportWriter::caller : ExportWriter::thread,
                  stopSignal_);
  }

  std::string write(OutputFrame& frame) override {
    return export_.add(frame.result, frame.placement, frame.number, frame.events);
  }

  void finish(OutputEnding& ending, RunResult& result) override {
    if (ending.framesRun == 0) {
      export_.discard();
      settleUndrawn(role(), target(), result);
      return;
    }
    if (ending.inputEndedEarlyFrame > 0) {
      export_.setInputEndedEarly(ending.inputEndedEarlyFrame, ending.inputEndedEarly);
    }
    std::string message = export_.finish(dataFileEnd(ending),
                                         std::move(ending.eventsAfterLastFrame), ending.onBacklog);
    if (message.empty()) message = export_.commit();
    settle(role(), target(), message, result);
    export_.discard();
  }

 private:
  const RunSpec& runSpec_;
  ExportRunInfo info_;
  Hdf5Export export_;
  const volatile std::sig_atomic_t* stopSignal_ = nullptr;
};

class StatsOutput : public Output {
 public:
  explicit StatsOutput(const RunSpec& runSpec) : runSpec_(runSpec) {}

  RunRole role() const override { return RunRole::statsFile; }
  const std::string& target() const override { return runSpec_.statsFile; }

  std::string prepare(const OutputContext& context) override {
    return stats_.create(runSpec_.statsFile,
                         provenanceComments(runSpec_, context.provenance, context.startTime));
  }

  std::string write(OutputFrame& frame) override {
    const FrameResult& r = frame.result;
    return stats_.add({frame.number, frame.readSeconds, r.seconds, r.eventsPushed, r.queue,
                       r.center, r.frameTimeMs, frame.residentMib, r.sampledCenter});
  }

  void finish(OutputEnding& ending, RunResult& result) override {
    if (ending.framesRun == 0) {
      stats_.discard();
      settleUndrawn(role(), target(), result);
      return;
    }
    const ExportEnd end = dataFileEnd(ending);
    std::string message;
    if (ending.inputEndedEarlyFrame > 0)
      message = stats_.addComment("the input ended early: " + ending.inputEndedEarly);
    const bool stopped = !runCompleted(ending.end);
    if (message.empty()) {
      message = stats_.addComment("end: " + end.reason +
                                  (end.completed ? " (completed)"
                                   : stopped     ? " (stopped)"
                                                 : " (not completed: the input ended early)"));
    }
    if (message.empty()) message = stats_.finish();
    if (message.empty()) message = stats_.commit();
    settle(role(), target(), message, result);
    stats_.discard();
  }

 private:
  const RunSpec& runSpec_;
  StatsWriter stats_;
};

}  // namespace

std::unique_ptr<Output> makeExportOutput(const RunSpec& runSpec) {
  return std::make_unique<ExportOutput>(runSpec);
}

std::unique_ptr<Output> makeStatsOutput(const RunSpec& runSpec) {
  return std::make_unique<StatsOutput>(runSpec);
}
