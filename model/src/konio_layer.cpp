#include "model/konio_layer.h"

#include <algorithm>
#include <cstddef>

KonioLayer::KonioLayer(int count, const KonioParameters& parameters)
    : activity(static_cast<std::size_t>(std::max(count, 0))), parameters(parameters) {
  for (auto& unit : activity) {
    unit.store(0.0f, std::memory_order_relaxed);
  }
}

void KonioLayer::step(const std::vector<RetinaEvent>& sensorEvents, double batchTime,
                      EventQueue& queue) {
  const int n = size();
  input.assign(activity.size(), 0.0f);
  for (const RetinaEvent& event : sensorEvents) {
    if (event.kind == EventKind::KonioInput && event.dst >= 0 && event.dst < n) {
      input[static_cast<std::size_t>(event.dst)] += event.weight;
    }
  }

  // Relaxed order suffices: the main thread's copy only needs each float whole, not a
  // consistent step. No lock is held here, so each push below takes only the queue mutex.
  const float inputThreshold = parameters.inputThreshold, inputGain = parameters.inputGain;
  const float decay = parameters.decay, outputThreshold = parameters.outputThreshold;
  for (int i = 0; i < n; ++i) {
    const std::size_t u = static_cast<std::size_t>(i);
    const float x = input[u];
    const float a = activity[u].load(std::memory_order_relaxed);
    const float next = x > inputThreshold ? std::min(x * inputGain + a, kKonioCeiling) : decay * a;
    activity[u].store(next, std::memory_order_relaxed);
    if (next > outputThreshold) {
      RetinaEvent out;
      out.time = batchTime;
      out.src = i;
      out.dst = i;
      out.weight = next;
      out.kind = EventKind::KonioOutput;
      queue.push(out);
    }
  }
}

void KonioLayer::copyActivity(std::vector<float>& out) const {
  out.resize(activity.size());
  for (std::size_t i = 0; i < activity.size(); ++i) {
    out[i] = activity[i].load(std::memory_order_relaxed);
  }
}
