#include "app/model_wiring.h"

Model::Model(int count)
    : gainTable(count), konio(count, kKonioDecay), trn(gainTable, count, kTrnStrength) {}

ModelWorkerThread::~ModelWorkerThread() {
  if (thread.joinable()) {
    running.store(false);
    thread.join();
  }
}

void startModelWorker(ModelWorkerThread& worker, Model& model) {
  worker.thread = std::thread(runModelWorker,
                              WorkerContext{worker.running, model.queue, model.konio, model.trn});
}

void takeModelSnapshots(Model& model, std::vector<float>& konioSnapshot,
                        std::vector<float>& gainSnapshot) {
  model.konio.copyActivity(konioSnapshot);
  model.gainTable.copyGains(gainSnapshot);
}

void stopModelWorker(ModelWorkerThread& worker) {
  if (worker.thread.joinable()) worker.thread.join();
}
