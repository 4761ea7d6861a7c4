#include "tools/replay/exports.h"

#include <chrono>
#include <ctime>

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

std::string ReplayExports::open() {
  std::string problem;
  if (!options_.exportPath.empty()) {
    problem = export_.create(options_.exportPath, options_.exportGains);
  }
  if (problem.empty() && !options_.statsPath.empty()) {
    problem = stats_.create(options_.statsPath);
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
  info.startTime = utcNow();
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

bool ReplayExports::finish() {
  const bool exporting = !options_.exportPath.empty(), writingStats = !options_.statsPath.empty();
  // Everything that can fail for want of room first; the renames last, so that one file's
  // failure does not leave the other in place.
  if (exporting) error_ = export_.finish();
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
