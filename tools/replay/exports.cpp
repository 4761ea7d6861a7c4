#include "tools/replay/exports.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <sstream>

#include <sys/stat.h>

#include "app/parameters.h"
#include "tools/replay/version.h"

namespace {

std::string inputText(const ReplayOptions& options) {
  switch (options.source) {
    case ReplaySource::synthetic:
      return "synthetic";
    case ReplaySource::camera:
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

}  // namespace

void describeInput(const ReplayOptions& options, const ReplayInput& input,
                   RunProvenance& provenance) {
  provenance.inputFrameRate = input.framesPerSecond();
  if (options.source != ReplaySource::video && options.source != ReplaySource::image) return;
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

std::string ReplayExports::open(const RunProvenance& provenance) {
  provenance_ = provenance;
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

void ReplayExports::start(Session& session) {
  if (options_.exportPath.empty()) return;
  ExportRunInfo info;
  info.commandLine = commandLineText(options_.arguments);
  info.input = inputText(options_);
  info.deterministic = options_.deterministic;
  info.sensorCount = static_cast<std::int64_t>(session.sensorCount());
  info.startTime = startTime_;
  info.provenance = provenance_;
  export_.start(info, session.model().queue);
}

bool ReplayExports::add(Session& session, const FrameResult& result, double readSeconds,
                        std::int64_t frameNumber, double residentMib) {
  const auto begin = std::chrono::steady_clock::now();
  const EventQueueStats queue = session.model().queue.stats();
  bool ok = true;
  if (!options_.exportPath.empty()) ok = export_.add(session, result, frameNumber, queue);
  if (ok && !options_.statsPath.empty()) {
    ok = stats_.add({frameNumber,
                     {readSeconds, result.seconds, result.eventsPushed},
                     queue,
                     result.center,
                     result.frameTimeMs,
                     residentMib});
  }
  lastSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  return ok;
}

bool ReplayExports::finish(const ExportEnd& end) {
  const bool exporting = !options_.exportPath.empty(), writingStats = !options_.statsPath.empty();
  // Everything that can fail for want of room first; the renames last, so that one file's
  // failure does not leave the other in place.
  if (exporting) error_ = export_.finish(end);
  if (error_.empty() && writingStats &&
      !stats_.addComment("end: " + end.reason + (end.completed ? " (completed)" : " (stopped)"))) {
    error_ = stats_.error();
  }
  if (error_.empty() && writingStats) error_ = stats_.finish();
  if (error_.empty() && exporting) error_ = export_.commit();
  if (error_.empty() && writingStats) error_ = stats_.commit();
  if (!error_.empty()) discard();
  return error_.empty();
}

void ReplayExports::discard() {
  export_.discard();
  stats_.discard();
}

std::string ReplayExports::error() const {
  if (!error_.empty()) return error_;
  const std::string exportError = export_.error();
  return exportError.empty() ? stats_.error() : exportError;
}
