#include "app/model_wiring.h"

#include <mutex>

Model::Model(int count)
    : gainTable(count), konio(count, kKonioDecay), trn(gainTable, count, kTrnStrength) {}

Model createModel(int count) {
  return Model(count);
}

ModelWorkerThread::~ModelWorkerThread() {
  if (thread.joinable()) {
    running.store(false);
    thread.join();
  }
}

void startModelWorker(ModelWorkerThread& worker, Model& model) {
  worker.thread =
      std::thread(ModelWorker, WorkerContext{worker.running, model.queue, model.konio, model.trn});
}

void takeModelSnapshots(Model& model, std::vector<float>& konioSnapshot,
                        std::vector<float>& gainSnapshot) {
  model.konio.copyActivity(konioSnapshot);
  std::lock_guard<std::mutex> lock(model.gainTable.mutex);
  gainSnapshot.assign(model.gainTable.gains.begin(), model.gainTable.gains.end());
}

void stopModelWorker(ModelWorkerThread& worker) {
  if (worker.thread.joinable()) worker.thread.join();
}
