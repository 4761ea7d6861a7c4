// The registry of a run's outputs, and the checks that run once over all of them.

#include <set>

#include <sys/stat.h>

#include "output.h"
#include "safe_output/target_checks.h"

std::vector<std::unique_ptr<Output>> makeOutputs(const RunSpec& runSpec) {
  std::vector<std::unique_ptr<Output>> outputs;
  if (!runSpec.recording.empty()) outputs.push_back(makeRecordingOutput(runSpec.recording));
  for (const SnapshotSpec& snapshot : runSpec.snapshots)
    outputs.push_back(makeSnapshotOutput(snapshot));
  if (!runSpec.exportFile.empty()) outputs.push_back(makeExportOutput(runSpec));
  if (!runSpec.statsFile.empty()) outputs.push_back(makeStatsOutput(runSpec));
  return outputs;
}

namespace {

std::optional<Refusal> runFileRefusal(const Output& output, const RunSpec& runSpec) {
  for (const RunRole file : {RunRole::configFile, RunRole::foveaPathFile}) {
    const std::string& path =
        file == RunRole::configFile ? runSpec.configFile : runSpec.foveaPathFile;
    if (!path.empty() && fileIdentity(output.target()) == fileIdentity(path)) {
      Refusal refusal = refusalOf(Refusal::Kind::outputIsRunFile, output.role(), output.target());
      refusal.runFile = file;
      return refusal;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Refusal> vetOutputs(const std::vector<std::unique_ptr<Output>>& outputs,
                                  const RunSpec& runSpec, const FrameInput& input) {
  // The files first, the snapshots after them.
  for (const bool snapshots : {false, true}) {
    for (const auto& output : outputs) {
      if ((output->role() == RunRole::snapshot) != snapshots) continue;
      if (auto refusal = runFileRefusal(*output, runSpec)) return refusal;
    }
  }
  const std::int64_t expected = input.expectedFrames();
  for (const SnapshotSpec& shot : runSpec.snapshots) {
    if (expected > 0 && shot.frame > expected) {
      Refusal refusal = refusalOf(Refusal::Kind::snapshotBeyondEnd, RunRole::snapshot, shot.path);
      refusal.frame = shot.frame;
      refusal.last = expected;
      return refusal;
    }
  }
  std::set<std::string> files;
  for (const auto& output : outputs) {
    const std::string& target = output->target();
    if (input.readsFile(target)) {
      return refusalOf(Refusal::Kind::outputIsInputFile, output->role(), target);
    }
    if (!files.insert(fileIdentity(target)).second) {
      return refusalOf(Refusal::Kind::outputNamedTwice, output->role(), target);
    }
  }
  return std::nullopt;
}

OutputOutcome written(RunRole role, const std::string& target) {
  return {role, target, OutputOutcome::Fate::written, ""};
}

OutputOutcome notWritten(RunRole role, const std::string& target, const std::string& cause) {
  struct stat info {};
  const bool existed = lstat(target.c_str(), &info) == 0;
  return {role, target,
          existed ? OutputOutcome::Fate::leftAsItWas : OutputOutcome::Fate::notWritten, cause};
}

std::string fateText(const OutputOutcome& outcome) {
  switch (outcome.fate) {
    case OutputOutcome::Fate::written:
      return "written";
    case OutputOutcome::Fate::leftAsItWas:
      return "left as it was: " + outcome.cause;
    case OutputOutcome::Fate::notWritten:
      break;
  }
  return "not written: " + outcome.cause;
}

bool runCompleted(RunEnd end) {
  return end == RunEnd::inputEnded || end == RunEnd::frameLimit;
}

std::string describeRefusal(const Refusal& refusal,
                            const std::function<std::string(RunRole)>& partName) {
  const std::string quoted = "'" + refusal.target + "'";
  switch (refusal.kind) {
    case Refusal::Kind::parametersInvalid:
    case Refusal::Kind::inputUnreadable:
    case Refusal::Kind::outputUnwritable:
      return refusal.detail;
    case Refusal::Kind::foveaPathOutside:
      return partName(RunRole::foveaPathFile) + " " + quoted + ": " + refusal.detail;
    case Refusal::Kind::outputIsRunFile:
      return "will not write " + quoted + ": it is the file " + partName(refusal.runFile) +
             " reads";
    case Refusal::Kind::outputIsInputFile:
      return "will not write " + quoted + ": it is one of the input's files; choose another name";
    case Refusal::Kind::outputNamedTwice:
      return "will not write " + quoted + " twice: two outputs name the same file";
    case Refusal::Kind::snapshotBeyondEnd:
      break;
  }
  return partName(RunRole::snapshot) + " frame " + std::to_string(refusal.frame) +
         " is beyond the input's last frame (" + std::to_string(refusal.last) + ")";
}
