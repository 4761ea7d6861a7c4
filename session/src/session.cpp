#include "session/session.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "display/overlay.h"
#include "display/render.h"
#include "session/sampling.h"

namespace {

// Nanosecond difference as double-precision seconds.
double secondsBetween(SteadyTime from, SteadyTime to) {
  return static_cast<double>(std::chrono::nanoseconds(to - from).count()) / 1e9;
}

// Real time spent per stage, read apart from the session's clock so that a replay with a fixed
// clock still reports what the work costs.
class StageTimer {
 public:
  double lap() {
    const SteadyTime now = std::chrono::steady_clock::now();
    const double seconds = secondsBetween(last_, now);
    last_ = now;
    return seconds;
  }

 private:
  SteadyTime last_ = std::chrono::steady_clock::now();
};

void centerOn(FoveaCenter& center, const cv::Mat& frame) {
  center.cx = frame.cols / 2;
  center.cy = frame.rows / 2;
}

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

SessionConfig validated(SessionConfig config) {
  const std::string problem = validateParameters(config.parameters);
  if (!problem.empty()) throw std::invalid_argument(problem);
  return config;
}

}  // namespace

SessionConfig sessionConfig(const Parameters& parameters, FoveaControl fovea,
                            const FrameClock& clock) {
  SessionConfig config;
  config.parameters = parameters;
  config.fovea = std::move(fovea);
  config.start = clock.now();
  if (clock.deterministic()) config.modelMode = ModelMode::steppedAfterEmission;
  return config;
}

bool convertToBgr8(cv::Mat& frame) {
  const int channels = frame.channels();
  if (frame.depth() != CV_8U && frame.depth() != CV_16U) return false;
  if (channels != 1 && channels != 3 && channels != 4) return false;
  if (frame.depth() == CV_16U) frame.convertTo(frame, CV_8U, 255.0 / 65535.0);
  if (channels == 1) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
  if (channels == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
  return true;
}

Session::Session(SessionConfig config)
    : config_(validated(std::move(config))),
      retina_(generateFibonacciRetina(config_.parameters.retina, config_.layoutProgress)),
      model_(static_cast<int>(retina_.sensors.size()), config_.parameters.queue,
             config_.parameters.konio, config_.parameters.trn),
      stepped_{running_, model_.queue, model_.konio, model_.trn},
      worker_(running_) {
  state_.konioSnapshot.assign(retina_.sensors.size(), 0.0f);
  state_.lastLatencyPrint = config_.start ? *config_.start : std::chrono::steady_clock::now();
  stepped_.clock = [this] { return batchTime_; };
  // Live, the worker pushes between frames too. Nothing is pushed before the first frame, so
  // the log may start before the worker does.
  if (config_.recordEvents) model_.queue.setPushLog(&pushLog_);
  running_.store(true);
  if (config_.modelMode == ModelMode::workerThread) startModelWorker(worker_, model_);
}

Session::~Session() {
  stop();
}

EventQueueStats Session::stop() {
  running_.store(false);
  stopModelWorker(worker_);
  return model_.queue.stats();
}

std::vector<RetinaEvent> Session::takeEventsAfterLastFrame() {
  std::vector<RetinaEvent> events;
  model_.queue.takePushLog(events);
  return events;
}

void Session::collectFrameEvents(FrameResult& result) {
  // Room for the next frame's log is made here, outside the queue mutex, not by its growth
  // under it: the storage given to takePushLog becomes the queue's log.
  frameEvents_.clear();
  if (frameEvents_.capacity() < expectedEvents_) frameEvents_.reserve(expectedEvents_);
  model_.queue.takePushLog(frameEvents_);
  expectedEvents_ = std::max(expectedEvents_, frameEvents_.size() + frameEvents_.size() / 4);
  result.loopEvents = konioOutputsLast(frameEvents_, result.eventsPushed, konioScratch_);
  result.events = &frameEvents_;
}

bool Session::placeCenter() {
  FoveaCenter center;
  centerOn(center, state_.frame);
  const std::int32_t nearestEdge = std::min(
      {center.cx, center.cy, state_.frame.cols - center.cx, state_.frame.rows - center.cy});
  const float unitsToEdge = static_cast<float>(config_.parameters.retina.diameter) * 0.5f;
  const float scale = static_cast<float>(nearestEdge) * (1.0f / unitsToEdge);
  SensorOffsets offsets = placeSensors(retina_.sensors, scale);
  PackedSensors packed = packSensors(retina_.sensors, offsets);
  if (packed.empty()) return false;
  state_.center = center;
  state_.retinaScale = scale;
  state_.placedFrameSize = state_.frame.size();
  state_.offsets = std::move(offsets);
  state_.packed = std::move(packed);
  state_.discs = discRecords(state_.packed);
  state_.centerPlaced = true;
  return true;
}

void Session::followPath() {
  const std::vector<FoveaWaypoint>& path = config_.fovea.path;
  std::size_t& next = state_.nextWaypoint;
  for (; next < path.size() && path[next].frame <= state_.framesDrawn; ++next)
    state_.center = {path[next].cx, path[next].cy};
}

FrameResult Session::step(const cv::Mat& frame, const FrameTimes& times) {
  FrameResult result;
  StageTimer timer;
  FrameLoopState& s = state_;
  const auto refuse = [&result](FrameRefusal why, std::string text) {
    result.refused = why;
    result.refusal = std::move(text);
    return result;
  };
  if (!s.centerPlaced && config_.fovea.mode == FoveaMode::path) {
    std::string outside = checkFoveaPathInside(config_.fovea.path, frame.size());
    if (!outside.empty()) return refuse(FrameRefusal::foveaPathOutside, std::move(outside));
  }
  s.frame = frame;  // shares the pixels; a conversion below makes a buffer of its own
  if (!convertToBgr8(s.frame)) {
    return refuse(FrameRefusal::pixelType, "its pixel type cannot be converted to 8-bit BGR");
  }
  // Placed once: a later centre of -1 (the margin clamp on a frame smaller than the margin gives
  // one) is an ordinary position, not a request to rescale.
  if (!s.centerPlaced && !placeCenter()) {
    return refuse(FrameRefusal::tooLarge, "it is over 65534 pixels on its shorter side");
  }
  ++s.framesDrawn;
  if (config_.fovea.mode == FoveaMode::path) followPath();
  result.seconds.convert = timer.lap();

  result.captureTime = steadySeconds(times.capture);
  result.sampledCenter = s.center;
  sampleActivations(s.frame, s.packed, s.center.cx, s.center.cy, s.activations);
  result.seconds.sampling = timer.lap();
  const Parameters& p = config_.parameters;
  result.eventsPushed =
      emitFrameEvents(model_.queue, s.activations, model_.gainTable, result.captureTime,
                      s.emissionGains, config_.modelMode, p.sampling);
  result.seconds.emission = timer.lap();
  if (config_.modelMode == ModelMode::steppedAfterEmission) {
    batchTime_ = times.batchTime ? *times.batchTime : steadyNowSeconds();
    runWorkerIteration(stepped_);
  }
  result.seconds.modelStep = timer.lap();
  takeModelSnapshots(model_, s.konioSnapshot, s.gainSnapshot);
  result.seconds.snapshots = timer.lap();
  // A held or scripted centre moves only by a waypoint or the reset key.
  if (config_.fovea.mode == FoveaMode::model) {
    updateFoveaCenter(s.frame, s.packed, s.center, s.konioSnapshot, p.fovea);
  }
  result.seconds.fovea = timer.lap();
  renderRetina(s.frame, s.discs, s.center.cx, s.center.cy, s.canvas, s.gainSnapshot, p.drawing);
  result.seconds.rendering = timer.lap();
  drawFoveaMarker(s.canvas, s.center, s.overlay);
  const SteadyTime marked = times.marked ? *times.marked : std::chrono::steady_clock::now();
  s.frameTimeMs = static_cast<std::int32_t>(secondsBetween(times.start, marked) * 1000.0);
  drawOverlayTexts(s.canvas, s.frameTimeMs, s.overlay);
  result.seconds.overlay = timer.lap();

  result.drawn = true;
  result.center = s.center;
  result.frameTimeMs = s.frameTimeMs;
  result.queue = model_.queue.stats();
  result.canvas = s.canvas;
  result.gains = &s.gainSnapshot;
  result.konio = &s.konioSnapshot;
  result.activations = &s.activations;
  result.number = s.framesDrawn;
  if (config_.recordEvents) collectFrameEvents(result);
  return result;
}

void Session::recenter() {
  if (state_.centerPlaced) centerOn(state_.center, state_.frame);  // retinaScale stays
}

bool Session::latencyDue(SteadyTime t3) {
  if (!(secondsBetween(state_.lastLatencyPrint, t3) > kLatencyPeriodSeconds)) return false;
  state_.lastLatencyPrint = t3;
  return true;
}

bool applyKey(Session& session, int key) {
  if (key == kQuitKey) return true;
  if (key == kResetKey) session.recenter();
  return false;
}
