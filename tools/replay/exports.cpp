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
  // Each file takes the frame whatever became of the other: the CSV stays complete up to the
  // last frame drawn when the export fails.
  bool ok = options_.exportPath.empty() || export_.add(session, result, frameNumber, queue);
  if (!options_.statsPath.empty()) {
    ok = stats_.add({frameNumber,
                     {readSeconds, result.seconds, result.eventsPushed},
                     queue,
                     result.center,
                     result.frameTimeMs,
                     residentMib}) &&
         ok;
  }
  lastSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  return ok;
}

void ReplayExports::noteInputEndedEarly(std::int64_t frame, const std::string& cause) {
  if (!options_.exportPath.empty()) export_.setInputEndedEarly(frame, cause);
}

OutputsReport ReplayExports::finish(std::int64_t framesRun,
                                    const std::function<void(std::size_t)>& waiting) {
  OutputsReport report;
  const auto settle = [&](const std::string& target, const std::string& problem) {
    report.outcomes.push_back(problem.empty() ? writtenOutcome(target)
                                              : notWrittenOutcome(target, problem));
  };
  // Each file's own failure message is "cannot write 'TARGET': CAUSE".
  const auto causeOf = [](const std::string& message, const std::string& target) {
    const std::string head = "cannot write '" + target + "': ";
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
    std::string message = stats_.finish();
    if (message.empty()) message = stats_.commit();
    if (!message.empty()) report.failures.push_back(message);
    settle(options_.statsPath, causeOf(message, options_.statsPath));
  }
  if (!options_.exportPath.empty()) {
    std::string message = export_.finish(waiting);
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

std::string ReplayExports::error() const {
  const std::string exportError = export_.error();
  return exportError.empty() ? stats_.error() : exportError;
}
