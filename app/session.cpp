#include "app/session.h"

#include <algorithm>
#include <ostream>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "app/sampling.h"
#include "display/overlay.h"
#include "display/render.h"

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

void centreOn(FoveaCenter& center, const cv::Mat& frame) {
  center.cx = frame.cols / 2;
  center.cy = frame.rows / 2;
}

// The retina, announced on the console as soon as it exists (before the model is created).
Retina generateAnnounced(const RetinaLayout& layout, std::ostream& console) {
  Retina retina = generateFibonacciRetina(layout);
  console << "Generati " << retina.sensors.size() << " senzori.\n";
  return retina;
}

const SessionConfig& validated(const SessionConfig& config) {
  const std::string problem = validateParameters(config.parameters);
  if (!problem.empty()) throw std::invalid_argument(problem);
  return config;
}

}  // namespace

bool convertToBgr8(cv::Mat& frame) {
  const int channels = frame.channels();
  if (frame.depth() != CV_8U && frame.depth() != CV_16U) return false;
  if (channels != 1 && channels != 3 && channels != 4) return false;
  if (frame.depth() == CV_16U) frame.convertTo(frame, CV_8U, 255.0 / 65535.0);
  if (channels == 1) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
  if (channels == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
  return true;
}

Session::Session(const SessionConfig& config, std::ostream& console)
    : config_(validated(config)),
      retina_(generateAnnounced(config_.parameters.retina, console)),
      model_(static_cast<int>(retina_.sensors.size()), config_.parameters.queue,
             config_.parameters.konio, config_.parameters.trn),
      stepped_{running_, model_.queue, model_.konio, model_.trn},
      worker_(running_) {
  state_.konioSnapshot.assign(retina_.sensors.size(), 0.0f);
  state_.lastLatencyPrint = config_.clock();
  running_.store(true);
  if (config_.modelClock) stepped_.clock = config_.modelClock;
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

void Session::placeCenter() {
  centreOn(state_.center, state_.frame);
  const FoveaCenter& c = state_.center;
  const std::int32_t nearestEdge =
      std::min({c.cx, c.cy, state_.frame.cols - c.cx, state_.frame.rows - c.cy});
  const float unitsToEdge = static_cast<float>(config_.parameters.retina.diameter) * 0.5f;
  state_.retinaScale = static_cast<float>(nearestEdge) * (1.0f / unitsToEdge);
  state_.offsets = placeSensors(retina_.sensors, state_.retinaScale);
  state_.hiddenDiscs = findHiddenDiscs(retina_.sensors, state_.offsets);
  state_.packed = packSensors(retina_.sensors, state_.offsets, state_.hiddenDiscs);
  state_.centerPlaced = true;
}

void Session::followPath() {
  const std::vector<FoveaWaypoint>& path = config_.fovea.path;
  std::size_t& next = state_.nextWaypoint;
  for (; next < path.size() && path[next].frame <= state_.framesDrawn; ++next)
    state_.center = {path[next].cx, path[next].cy};
}

FrameResult Session::step(const cv::Mat& frame, SteadyTime t0, SteadyTime t1) {
  FrameResult result;
  StageTimer timer;
  FrameLoopState& s = state_;
  s.frame = frame;  // shares the pixels; a conversion below makes a buffer of its own
  if (!convertToBgr8(s.frame)) return result;
  // Placed once: a later centre of -1 (the margin clamp on a frame under 100 pixels gives one)
  // is an ordinary position, not a request to rescale.
  if (!s.centerPlaced) placeCenter();
  ++s.framesDrawn;
  if (config_.fovea.mode == FoveaMode::path) followPath();
  result.seconds.convert = timer.lap();

  result.captureTime = steadySeconds(t1);
  const bool packed = !s.packed.empty();
  if (packed) {
    sampleActivations(s.frame, s.packed, s.center.cx, s.center.cy, s.activations);
  } else {
    sampleActivations(s.frame, retina_, s.offsets, s.center.cx, s.center.cy, s.activations);
  }
  result.seconds.sampling = timer.lap();
  const Parameters& p = config_.parameters;
  result.eventsPushed =
      emitFrameEvents(model_.queue, s.activations, model_.gainTable, result.captureTime,
                      s.emissionGains, config_.modelMode, p.sampling);
  result.seconds.emission = timer.lap();
  if (config_.modelMode == ModelMode::steppedAfterEmission) runWorkerIteration(stepped_);
  result.seconds.modelStep = timer.lap();
  takeModelSnapshots(model_, s.konioSnapshot, s.gainSnapshot);
  result.seconds.snapshots = timer.lap();
  // A held or scripted centre moves only by a waypoint or the reset key.
  if (config_.fovea.mode == FoveaMode::model && packed) {
    updateFoveaCenter(s.frame, s.packed, s.center, s.konioSnapshot, p.fovea);
  } else if (config_.fovea.mode == FoveaMode::model) {
    updateFoveaCenter(s.frame, retina_.sensors, s.offsets, s.center, s.konioSnapshot, p.fovea);
  }
  result.seconds.fovea = timer.lap();
  if (packed) {
    renderRetina(s.frame, s.packed, s.center.cx, s.center.cy, s.canvas, s.gainSnapshot, p.drawing);
  } else {
    renderRetina(s.frame, retina_.sensors, s.offsets, s.hiddenDiscs, s.center.cx, s.center.cy,
                 s.canvas, s.gainSnapshot, p.drawing);
  }
  result.seconds.rendering = timer.lap();
  drawFoveaMarker(s.canvas, s.center, s.overlay);
  const SteadyTime t2 = config_.clock();
  s.frameTimeMs = static_cast<std::int32_t>(secondsBetween(t0, t2) * 1000.0);
  drawOverlayTexts(s.canvas, s.frameTimeMs, s.overlay);
  result.seconds.overlay = timer.lap();

  result.drawn = true;
  result.center = s.center;
  result.frameTimeMs = s.frameTimeMs;
  result.canvas = s.canvas;
  return result;
}

void Session::recentre() {
  if (state_.centerPlaced) centreOn(state_.center, state_.frame);  // retinaScale stays
}

void Session::reportLatency(SteadyTime t3, std::ostream& out) {
  if (secondsBetween(state_.lastLatencyPrint, t3) > kLatencyPeriodSeconds) {
    out << "[Latency] Frame processing: " << state_.frameTimeMs << " ms\n";
    state_.lastLatencyPrint = t3;
  }
}

bool applyKey(Session& session, int key) {
  if (key == kQuitKey) return true;
  if (key == kResetKey) session.recentre();
  return false;
}
