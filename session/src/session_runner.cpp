#include "session/session_runner.h"

#include <algorithm>
#include <utility>

namespace {

bool isKonioOutput(const RetinaEvent& event) {
  return event.kind == EventKind::KonioOutput;
}

// Moves the Konio outputs behind the frame loop's `loopPushed` events, each part in push order,
// and returns where they start. Only the frame loop pushes other kinds, so when everything after
// its count is a Konio output, as always in the stepped mode (the model runs after the
// emission), the log is in order already; live, the worker's outputs may come in between.
std::size_t konioOutputsLast(std::vector<RetinaEvent>& events, std::size_t loopPushed,
                             std::vector<RetinaEvent>& scratch) {
  if (loopPushed <= events.size() &&
      std::all_of(events.begin() + static_cast<std::ptrdiff_t>(loopPushed), events.end(),
                  isKonioOutput)) {
    return loopPushed;
  }
  scratch.clear();
  auto kept = events.begin();
  for (const RetinaEvent& event : events) {
    if (isKonioOutput(event)) {
      scratch.push_back(event);
    } else {
      *kept++ = event;
    }
  }
  std::copy(scratch.begin(), scratch.end(), kept);
  return static_cast<std::size_t>(kept - events.begin());
}

}  // namespace

SessionRunner::SessionRunner(SessionRunnerConfig config)
    : recordEvents_(config.recordEvents),
      deterministic_(config.deterministic),
      session_(frameSessionConfig(config.parameters, std::move(config.fovea), config.deterministic,
                                  clock_)) {
  // Live, the worker pushes between frames too, into a log of the runner's own. Nothing is
  // pushed before the first frame, so the log may start while the worker runs.
  if (recordEvents_ && !deterministic_) session_.eventQueue().setPushLog(&log_);
}

RunnerFrame SessionRunner::step(const cv::Mat& frame, std::vector<RetinaEvent>& events) {
  RunnerFrame out;
  EventQueue& queue = session_.eventQueue();
  events.clear();
  const FoveaControl& fovea = session_.fovea();
  if (fovea.mode == FoveaMode::path && session_.state().framesDrawn == 0) {
    out.foveaPathRefusal = checkFoveaPathInside(fovea.path, frame.size());
    if (!out.foveaPathRefusal.empty()) return out;  // the clocks stay where they are
  }
  // Room for the log is made here, outside the queue mutex, not by its growth under it.
  if (recordEvents_ && events.capacity() < expectedEvents_) events.reserve(expectedEvents_);
  // Without the worker thread nothing is pushed between frames: the frame logs straight into
  // `events`, and the caller's vectors are the only storage the events go through.
  if (recordEvents_ && deterministic_) queue.setPushLog(&events);
  const SteadyTime t0 = session_.now();
  clock_.advance();
  const SteadyTime t1 = session_.now();
  out.result = session_.step(frame, t0, t1);
  if (!recordEvents_) return out;
  if (deterministic_) {
    queue.setPushLog(nullptr);
  } else if (out.result.drawn) {
    queue.takePushLog(events);  // the log goes on in the storage `events` had
  }
  expectedEvents_ = std::max(expectedEvents_, events.size() + events.size() / 4);
  out.loopEvents = konioOutputsLast(events, out.result.eventsPushed, konioScratch_);
  return out;
}
