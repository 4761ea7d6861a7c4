#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "model/event_queue.h"
#include "model/konio_layer.h"
#include "model/trn_layer.h"

using SteadyTime = std::chrono::steady_clock::time_point;

// Steady-clock seconds since the clock's epoch: the nanosecond count as a double divided by 1e9.
double steadySeconds(SteadyTime t);
double steadyNowSeconds();

constexpr std::chrono::milliseconds kIdlePause{1};

// What the worker reaches. The four referenced objects outlive the worker thread.
struct WorkerContext {
  std::atomic<bool>& running;  // read before every iteration; false ends the worker
  EventQueue& queue;
  KonioLayer& konio;
  TrnLayer& trn;
  std::function<double()> clock = steadyNowSeconds;  // source of `batchTime`, in seconds
  // The pause after an empty drain: 1 ms on the steady clock. It also bounds how long a join
  // waits for an idle worker.
  std::function<void()> idlePause = [] { std::this_thread::sleep_for(kIdlePause); };

  // The worker's own buffers, kept from batch to batch so that draining allocates nothing.
  std::vector<RetinaEvent> batch{};
  std::vector<RetinaEvent> sensorEvents{};  // Photoreceptor and KonioInput events with dst >= 0
  std::vector<RetinaEvent> konioEvents{};   // KonioOutput events
};

enum class WorkerIteration {
  stopped,  // the running flag was false; nothing else was touched
  idle,     // the queue was empty; slept 1 ms
  batch,    // drained a non-empty batch (whether or not a stage ran)
};

// One pass of the worker: read the flag, drain, sleep 1 ms on an empty batch, otherwise split the
// batch by kind and run the Konio stage (sensor events only) and the TRN stage (sensor or Konio
// events). No sleep after a non-empty batch. Runs on whichever thread calls it; never call it
// from two threads at once on one model.
WorkerIteration runWorkerIteration(WorkerContext& ctx);

// The worker thread's body: iterations until the running flag is found false.
void runModelWorker(WorkerContext ctx);
