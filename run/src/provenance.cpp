#include "provenance.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sstream>

#include <sys/stat.h>

#include "run/version.h"
#include "safe_output/target_checks.h"

namespace {

// "SIGINT", "SIGUSR1", "SIGRTMIN+3"; the number where the C library has no name.
std::string signalName(int signal) {
  if (const char* name = sigabbrev_np(signal)) return std::string("SIG") + name;
  if (signal >= SIGRTMIN && signal <= SIGRTMAX) {
    return "SIGRTMIN+" + std::to_string(signal - SIGRTMIN);
  }
  return std::to_string(signal);
}

std::string joinedKeys(const std::vector<std::string>& keys) {
  std::string text;
  for (const std::string& key : keys)
    text += (text.empty() ? "" : ", ") + key;
  return text;
}

std::string foveaControlText(const RunSpec& runSpec) {
  switch (runSpec.fovea.mode) {
    case FoveaMode::fixed:
      return "fixed";
    case FoveaMode::path:
      return "path " + (runSpec.foveaPathFile.empty() ? "" : resolvedPath(runSpec.foveaPathFile));
    case FoveaMode::model:
      break;
  }
  return "model";
}

// The input's part of a run's provenance: its absolute path, size and frame rate.
void describeInput(const InputRequest& request, const FrameInput& input, RunProvenance& run) {
  run.inputFrameRate = input.framesPerSecond();
  if (request.kind != InputKind::video && request.kind != InputKind::image) return;
  const std::string& path = request.path;
  // A stream's URL or a pipeline is no path; a sequence's pattern is one, of no one file.
  if (path.find("://") != std::string::npos || path.find('!') != std::string::npos) {
    run.inputPath = path;
    return;
  }
  run.inputPath = resolvedPath(path);
  struct stat info {};
  if (path.find('%') == std::string::npos && stat(path.c_str(), &info) == 0) {
    run.inputBytes = static_cast<std::int64_t>(info.st_size);
  }
}

}  // namespace

RunProvenance runProvenance(const RunSpec& runSpec, const FrameInput& input) {
  RunProvenance run;
  run.parameters = runSpec.parameters;
  if (!runSpec.configFile.empty()) run.configFile = resolvedPath(runSpec.configFile);
  run.foveaControl = foveaControlText(runSpec);
  describeInput(runSpec.input, input, run);
  return run;
}

std::string inputText(const InputRequest& input) {
  switch (input.kind) {
    case InputKind::synthetic:
      return "synthetic";
    case InputKind::camera:
      return "camera " + std::to_string(input.cameraIndex);
    default:
      return input.path;
  }
}

std::vector<std::string> provenanceComments(const RunSpec& runSpec, const RunProvenance& run,
                                            const std::string& startTime) {
  std::ostringstream input;
  input << (run.inputPath.empty() ? inputText(runSpec.input) : run.inputPath);
  if (run.inputBytes >= 0) input << ", " << run.inputBytes << " bytes";
  input << ", " << run.inputFrameRate << " frames per second";
  const std::vector<std::string> changed = changedParameters(run.parameters);
  std::vector<std::string> lines{
      "tool: " + std::string(kReplayToolName) + " " + kReplayVersion,
      "command line: " + runSpec.commandLine,
      "input: " + input.str(),
      "mode: " + std::string(runSpec.deterministic ? "deterministic" : "live"),
      "fovea: " + run.foveaControl,
      "config file: " + (run.configFile.empty() ? std::string("none") : run.configFile),
      "start time: " + startTime,
      "parameters (" +
          (changed.empty() ? std::string("all defaults")
                           : "differing from the defaults: " + joinedKeys(changed)) +
          "):"};
  for (const ParameterKey& key : parameterKeys()) {
    lines.push_back("  " + key.path() + " = " +
                    formatParameterValue(key, parameterValue(run.parameters, key)));
  }
  return lines;
}

std::string utcNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

ExportEnd exportEnd(RunEnd end, int stopSignal) {
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
      return {"signal " + signalName(stopSignal), false};
    case RunEnd::outputFailed:
      return {"output failed", false};
    case RunEnd::toolkitExit:
      return {"display lost", false};
    case RunEnd::refused:
    case RunEnd::error:
      break;
  }
  return {"failure", false};
}
