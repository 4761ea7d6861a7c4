#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "model/event_queue.h"
#include "model/konio_layer.h"
#include "model/model_worker.h"
#include "model/trn_layer.h"

// How the model runs beside the frames.
enum class ModelMode {
  workerThread,  // the demo's way: a worker thread drains the queue as events arrive
  // No thread: right after each frame's emission the main thread runs exactly one worker
  // iteration. Batches then no longer depend on thread scheduling, so runs repeat bit for bit.
  steppedAfterEmission,
};

// The neural model's objects, created in this order and destroyed in reverse. The worker thread
// that uses them lives in a `ModelWorkerThread`, which must be created after them and so is
// always joined before any of them is destroyed.
struct Model {
  // Every per-sensor vector sized `count`, at its resting value.
  explicit Model(int count, const QueueParameters& queue = {}, const KonioParameters& konio = {},
                 const TrnParameters& trn = {});

  GainTable gainTable;
  KonioLayer konio;
  TrnLayer trn;
  EventQueue queue;
};

// The worker thread. Create it after the running flag and the model, so that it is destroyed
// before them: if it still runs then (a stage threw, say), the destructor clears the flag and
// joins, and the thread never outlives what it uses.
struct ModelWorkerThread {
  explicit ModelWorkerThread(std::atomic<bool>& running) : running(running) {}
  ModelWorkerThread(const ModelWorkerThread&) = delete;
  ModelWorkerThread& operator=(const ModelWorkerThread&) = delete;
  ~ModelWorkerThread();

  std::atomic<bool>& running;
  std::thread thread;
};

// Starts the worker thread on `model`; call after setting the running flag to true.
void startModelWorker(ModelWorkerThread& worker, Model& model);

// Copies the Konio activity into `konioSnapshot` (no lock: relaxed per-unit reads) and the gains
// into `gainSnapshot` under the gain mutex. Both keep their storage. Main thread.
void takeModelSnapshots(Model& model, std::vector<float>& konioSnapshot,
                        std::vector<float>& gainSnapshot);

// Joins the worker thread, if one runs; call after clearing the running flag.
void stopModelWorker(ModelWorkerThread& worker);
