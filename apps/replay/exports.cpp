#include "apps/replay/exports.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <sstream>

#include <sys/stat.h>

#include "apps/replay/version.h"
#include "session/parameters.h"

namespace {

std::string inputText(const ReplayOptions& options) {
  switch (options.source) {
    case InputKind::synthetic:
      return "synthetic";
    case InputKind::camera:
      return "camera " + std::to_string(options.cameraIndex);
    default:
      return options.inputPath;
  }
}

std::string utcNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string joinedKeys(const std::vector<std::string>& keys) {
  std::string text;
  for (const std::string& key : keys)
    text += (text.empty() ? "" : ", ") + key;
  return text;
}

// The CSV file's leading comment lines: what the HDF5 file's root attributes and /parameters
// record, one line each.
std::vector<std::string> provenanceComments(const ReplayOptions& options, const RunProvenance& run,
                                            const std::string& startTime) {
  std::ostringstream input;
  input << (run.inputPath.empty() ? inputText(options) : run.inputPath);
  if (run.inputBytes >= 0) input << ", " << run.inputBytes << " bytes";
  input << ", " << run.inputFrameRate << " frames per second";
  const std::vector<std::string> changed = changedParameters(run.parameters);
  std::vector<std::string> lines{
      "tool: " + std::string(kReplayToolName) + " " + kReplayVersion,
      "command line: " + commandLineText(options.arguments),
      "input: " + input.str(),
      "mode: " + std::string(options.deterministic ? "deterministic" : "live"),
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

// The input's part of a run's provenance: its absolute path, size and frame rate.
void describeInput(const ReplayOptions& options, const FrameInput& input,
                   RunProvenance& provenance) {
  provenance.inputFrameRate = input.framesPerSecond();
  if (options.source != InputKind::video && options.source != InputKind::image) return;
  const std::string& path = options.inputPath;
  // A stream's URL or a pipeline is no path; a sequence's pattern is one, of no one file.
  if (path.find("://") != std::string::npos || path.find('!') != std::string::npos) {
    provenance.inputPath = path;
    return;
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  provenance.inputPath = error ? path : absolute.lexically_normal().string();
  struct stat info {};
  if (path.find('%') == std::string::npos && stat(path.c_str(), &info) == 0) {
    provenance.inputBytes = static_cast<std::int64_t>(info.st_size);
  }
}

}  // namespace

std::string commandLineText(const std::vector<std::string>& arguments) {
  std::string text = kReplayToolName;
  for (const std::string& arg : arguments) {
    const bool plain = !arg.empty() && arg.find_first_not_of(
                                           "abcdefghijklmnopqrstuvwxyz"
                                           "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                           "0123456789-_./:=,+@%") == std::string::npos;
    if (plain) {
      text += " " + arg;
      continue;
    }
    text += " '";
    for (const char c : arg)
      text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += "'";
  }
  return text;
}

std::string ReplayExports::open(const RunParameters& run, const FrameInput& input) {
  provenance_.parameters = run.parameters;
  provenance_.configFile = run.configFile;
  provenance_.foveaControl = foveaControlText(run);
  describeInput(options_, input, provenance_);
  startTime_ = utcNow();
  std::string problem;
  if (!options_.exportPath.empty()) {
    problem = export_.create(options_.exportPath, options_.exportGains);
  }
  if (problem.empty() && !options_.statsPath.empty()) {
    problem =
        stats_.create(options_.statsPath, provenanceComments(options_, provenance_, startTime_));
  }
  if (!problem.empty()) discard();
  return problem;
}

void ReplayExports::start(std::size_t sensorCount) {
  if (options_.exportPath.empty()) return;
  ExportRunInfo info;
  info.tool = kReplayToolName;
  info.version = kReplayVersion;
  info.commandLine = commandLineText(options_.arguments);
  info.input = inputText(options_);
  info.deterministic = options_.deterministic;
  info.sensorCount = static_cast<std::int64_t>(sensorCount);
  info.startTime = startTime_;
  info.provenance = provenance_;
  export_.start(info, options_.exportWriterThread ? ExportWriter::thread : ExportWriter::caller);
}

std::string ReplayExports::add(const FrameResult& result, const RetinaPlacement& placement,
                               double readSeconds, std::int64_t frameNumber, double residentMib,
                               std::vector<RetinaEvent>& events) {
  const auto begin = std::chrono::steady_clock::now();
  // Each file takes the frame whatever became of the other: the CSV stays complete up to the
  // last frame drawn when the export fails.
  std::string problem;
  if (!options_.exportPath.empty()) problem = export_.add(result, placement, frameNumber, events);
  if (!options_.statsPath.empty()) {
    const std::string statsProblem =
        stats_.add({frameNumber, readSeconds, result.seconds, result.eventsPushed, result.queue,
                    result.center, result.frameTimeMs, residentMib});
    if (problem.empty()) problem = statsProblem;
  }
  lastSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  return problem;
}

void ReplayExports::noteInputEndedEarly(std::int64_t frame, const std::string& cause) {
  if (!options_.exportPath.empty()) export_.setInputEndedEarly(frame, cause);
}

OutputsReport ReplayExports::finish(const ExportEnd& end, std::int64_t framesRun,
                                    std::vector<RetinaEvent> eventsAfterLastFrame,
                                    const std::function<void(std::size_t)>& waiting) {
  OutputsReport report;
  const auto settle = [&](const std::string& target, const std::string& problem) {
    report.outcomes.push_back(problem.empty() ? writtenOutcome(target)
                                              : notWrittenOutcome(target, problem));
  };
  // Each file's own failure message is cannotWrite(TARGET, CAUSE).
  const auto causeOf = [](const std::string& message, const std::string& target) {
    const std::string head = cannotWrite(target, "") + ": ";
    return message.rfind(head, 0) == 0 ? message.substr(head.size()) : message;
  };
  if (framesRun == 0) {
    discard();
    for (const std::string* target : {&options_.statsPath, &options_.exportPath}) {
      if (target->empty()) continue;
      report.missed.push_back("no frame was drawn, so '" + *target + "' was not written");
      settle(*target, "no frame was drawn");
    }
    return report;
  }
  // The CSV first: it is complete at once, while the export may have frames left to write.
  if (!options_.statsPath.empty()) {
    std::string message =
        stats_.addComment("end: " + end.reason + (end.completed ? " (completed)" : " (stopped)"));
    if (message.empty()) message = stats_.finish();
    if (message.empty()) message = stats_.commit();
    if (!message.empty()) report.failures.push_back(message);
    settle(options_.statsPath, causeOf(message, options_.statsPath));
  }
  if (!options_.exportPath.empty()) {
    std::string message = export_.finish(end, std::move(eventsAfterLastFrame), waiting);
    if (message.empty()) message = export_.commit();
    if (!message.empty()) report.failures.push_back(message);
    settle(options_.exportPath, causeOf(message, options_.exportPath));
  }
  discard();
  return report;
}

void ReplayExports::discard() {
  export_.discard();
  stats_.discard();
}
