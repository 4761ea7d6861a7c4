#include "model/model_worker.h"

#include <vector>

double steadySeconds(SteadyTime t) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
  return static_cast<double>(ns.count()) / 1e9;
}

double steadyNowSeconds() {
  return steadySeconds(std::chrono::steady_clock::now());
}

WorkerIteration runWorkerIteration(WorkerContext& ctx) {
  if (!ctx.running.load()) {
    return WorkerIteration::stopped;
  }

  // The queue mutex is released when drainAll returns; the stages work on this copy.
  std::vector<RetinaEvent>& batch = ctx.batch;
  ctx.queue.drainAll(batch);
  if (batch.empty()) {
    ctx.idlePause();
    return WorkerIteration::idle;
  }

  const double batchTime = ctx.clock();

  std::vector<RetinaEvent>& sensorEvents = ctx.sensorEvents;
  std::vector<RetinaEvent>& konioEvents = ctx.konioEvents;
  sensorEvents.clear();
  konioEvents.clear();
  for (const RetinaEvent& event : batch) {
    if ((event.kind == EventKind::Photoreceptor || event.kind == EventKind::KonioInput) &&
        event.dst >= 0) {
      sensorEvents.push_back(event);
    } else if (event.kind == EventKind::KonioOutput) {
      konioEvents.push_back(event);
    }
  }

  // The Konio stage's output goes back into the queue, so TRN sees it one drain later.
  if (!sensorEvents.empty()) {
    ctx.konio.step(sensorEvents, batchTime, ctx.queue);
  }
  if (!sensorEvents.empty() || !konioEvents.empty()) {
    ctx.trn.step(sensorEvents, konioEvents);
  }
  return WorkerIteration::batch;
}

void runModelWorker(WorkerContext ctx) {
  while (runWorkerIteration(ctx) != WorkerIteration::stopped) {
  }
}
