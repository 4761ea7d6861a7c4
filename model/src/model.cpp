#include "model/model.h"

Model::Model(int count, const QueueParameters& queueParameters,
             const KonioParameters& konioParameters, const TrnParameters& trnParameters)
    : gainTable(count, trnParameters.maskStride),
      konio(count, konioParameters),
      trn(gainTable, count, trnParameters.strength),
      queue(queueParameters.capacity) {}

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
