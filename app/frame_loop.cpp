#include "app/frame_loop.h"

#include <algorithm>
#include <ostream>

#include <opencv2/imgproc.hpp>

#include "app/sampling.h"
#include "display/overlay.h"
#include "display/render.h"
#include "retina/fibonacci_retina.h"

namespace {

// Nanosecond difference as double-precision seconds.
double secondsBetween(SteadyTime from, SteadyTime to) {
  return static_cast<double>(std::chrono::nanoseconds(to - from).count()) / 1e9;
}

// Real time spent per stage, read apart from `FrameIo::now` so that a replay with a fixed clock
// still reports what the work costs.
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

void recentre(FoveaCenter& center, const cv::Mat& frame) {
  center.cx = frame.cols / 2;
  center.cy = frame.rows / 2;
}

}  // namespace

bool toBgr8(cv::Mat& frame) {
  const int channels = frame.channels();
  if (frame.depth() != CV_8U && frame.depth() != CV_16U) return false;
  if (channels != 1 && channels != 3 && channels != 4) return false;
  if (frame.depth() == CV_16U) frame.convertTo(frame, CV_8U, 255.0 / 65535.0);
  if (channels == 1) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
  if (channels == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
  return true;
}

void placeCenter(FrameLoopState& state, const Retina& retina) {
  recentre(state.center, state.frame);
  const FoveaCenter& c = state.center;
  const std::int32_t nearestEdge =
      std::min({c.cx, c.cy, state.frame.cols - c.cx, state.frame.rows - c.cy});
  state.retinaScale = static_cast<float>(nearestEdge) * (1.0f / kRetinaUnitsToEdge);
  state.offsets = placeSensors(retina.sensors, state.retinaScale);
  state.hiddenDiscs = findHiddenDiscs(retina.sensors, state.offsets);
  state.centerPlaced = true;
}

LoopExit runFrameLoop(const Retina& retina, Model& model, FrameLoopState& state, FrameIo& io,
                      std::atomic<bool>& running, std::ostream& out, const FrameLoopHooks& hooks) {
  while (running.load()) {
    StageTimer timer;
    const SteadyTime t0 = io.now();
    io.readFrame(state.frame);
    if (state.frame.empty()) return LoopExit::emptyFrame;
    const SteadyTime t1 = io.now();  // capture time: every event of this frame carries it

    if (!toBgr8(state.frame)) {
      // Nothing of this frame can be sampled or drawn; still let the user quit or recentre.
      const int key = io.waitKey(kKeyWaitMs);
      if (key == kQuitKey) return LoopExit::quitKey;
      if (key == kResetKey && state.centerPlaced) recentre(state.center, state.frame);
      continue;
    }
    if (!state.centerPlaced) placeCenter(state, retina);

    FrameStats stats;
    stats.read = timer.lap();
    const std::vector<float> activations =
        sampleActivations(state.frame, retina, state.offsets, state.center.cx, state.center.cy);
    stats.sampling = timer.lap();
    stats.eventsPushed = emitFrameEvents(model.queue, activations, model.gainTable,
                                         steadySeconds(t1), state.emissionGains);
    stats.emission = timer.lap();
    if (hooks.afterEmission) hooks.afterEmission();
    stats.modelStep = timer.lap();
    takeModelSnapshots(model, state.konioSnapshot, state.gainSnapshot);
    stats.snapshots = timer.lap();
    updateFoveaCenter(state.frame, retina.sensors, state.offsets, state.center, state.konioSnapshot,
                      kStepFraction);
    stats.fovea = timer.lap();
    renderRetina(state.frame, retina.sensors, state.offsets, state.hiddenDiscs, state.center.cx,
                 state.center.cy, state.canvas, state.gainSnapshot);
    stats.rendering = timer.lap();
    drawFoveaMarker(state.canvas, state.center);
    const SteadyTime t2 = io.now();
    stats.frameTimeMs = static_cast<std::int32_t>(secondsBetween(t0, t2) * 1000.0);
    drawOverlayTexts(state.canvas, stats.frameTimeMs);
    stats.overlay = timer.lap();
    stats.work = stats.sampling + stats.emission + stats.snapshots + stats.fovea + stats.rendering +
                 stats.overlay;

    io.showCanvas(state.canvas);
    if (hooks.afterFrame) hooks.afterFrame(stats, state.canvas);
    const int key = io.waitKey(kKeyWaitMs);
    if (key == kQuitKey) return LoopExit::quitKey;
    if (key == kResetKey) recentre(state.center, state.frame);  // retinaScale stays

    const SteadyTime t3 = io.now();
    if (secondsBetween(state.lastLatencyPrint, t3) > kLatencyPeriodSeconds) {
      out << "[Latency] Frame processing: " << stats.frameTimeMs << " ms\n";
      state.lastLatencyPrint = t3;
    }
  }
  return LoopExit::stopped;
}

Retina generateProgramRetina(std::ostream& out) {
  return generateFibonacciRetina(kSpiralCount, kRetinaDiameter, kFovealRadius, kFovealSatellites,
                                 kPeripheralSatellites, out);
}

SessionEnd runSession(FrameIo& io, std::ostream& out, const SessionOptions& options) {
  const Retina retina = generateProgramRetina(out);
  const auto count = static_cast<int>(retina.sensors.size());
  Model model = createModel(count);
  FrameLoopState state;
  state.konioSnapshot.assign(count, 0.0f);
  state.lastLatencyPrint = io.now();
  std::atomic<bool> running{true};
  ModelWorkerThread worker(running);

  FrameLoopHooks hooks = options.hooks;
  WorkerContext stepped{running, model.queue, model.konio, model.trn};
  if (options.modelClock) stepped.clock = options.modelClock;
  if (options.modelMode == ModelMode::workerThread) {
    startModelWorker(worker, model);
  } else {
    hooks.afterEmission = [&stepped, next = options.hooks.afterEmission] {
      runWorkerIteration(stepped);
      if (next) next();
    };
  }

  out << "Demo C++ cu camera si model neuronal (Konio + TRN)\n";
  out << "Taste: 'r' - reseteaza centrul, ESC - iesire\n";
  const LoopExit exit = runFrameLoop(retina, model, state, io, running, out, hooks);

  running.store(false);
  stopModelWorker(worker);
  return {exit, model.queue.stats()};
}
