#include "model/trn_layer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>

GainTable::GainTable(int count, std::int32_t maskStride)
    : gains_(static_cast<std::size_t>(std::max(count, 0)), 1.0f),
      konioMask_(static_cast<std::size_t>(std::max(count, 0)), false) {
  if (maskStride < 1) throw std::invalid_argument("GainTable: a Konio mask stride below 1");
  for (std::size_t i = 0; i < konioMask_.size(); i += static_cast<std::size_t>(maskStride)) {
    konioMask_[i] = true;
  }
}

void GainTable::copyGains(std::vector<float>& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  out.assign(gains_.begin(), gains_.end());
}

std::vector<float> GainTable::gains() const {
  std::vector<float> copy;
  copyGains(copy);
  return copy;
}

void GainTable::publish(std::vector<float>& next) {
  std::lock_guard<std::mutex> lock(mutex_);
  gains_.swap(next);
}

TrnLayer::TrnLayer(GainTable& gainTable, int count, float strength)
    : gainTable(gainTable),
      strength(strength),
      konioDrive(static_cast<std::size_t>(std::max(count, 0)), 0.0f) {}

void TrnLayer::step(const std::vector<RetinaEvent>& sensorEvents,
                    const std::vector<RetinaEvent>& konioEvents) {
  const int n = static_cast<int>(konioDrive.size());

  // A masked sensor's Photoreceptor and KonioInput events both count, so its sum is doubled.
  sums.assign(konioDrive.size(), 0.0f);
  for (const RetinaEvent& event : sensorEvents) {
    if (event.src >= 0 && event.src < n) {
      sums[static_cast<std::size_t>(event.src)] += event.weight;
    }
  }

  for (const RetinaEvent& event : konioEvents) {
    if (event.kind == EventKind::KonioOutput && event.dst >= 0 && event.dst < n) {
      konioDrive[static_cast<std::size_t>(event.dst)] = event.weight;
    }
  }

  next.resize(konioDrive.size());
  const float s = strength;  // a local: the stores through `next` could otherwise alias it
  for (std::size_t i = 0; i < next.size(); ++i) {
    next[i] = 1.0f / (std::fabs(sums[i] - konioDrive[i]) * s + 1.0f);
  }

  gainTable.publish(next);
}
