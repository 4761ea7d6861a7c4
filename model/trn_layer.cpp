#include "model/trn_layer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

GainTable::GainTable(int count)
    : gains(static_cast<std::size_t>(std::max(count, 0)), 1.0f),
      konioMask(static_cast<std::size_t>(std::max(count, 0)), false) {
  for (int i = 0; i < count; i += kKonioMaskStride) {
    konioMask[static_cast<std::size_t>(i)] = true;
  }
}

TrnLayer::TrnLayer(GainTable& gainTable, int count, float strength)
    : gainTable(gainTable),
      strength(strength),
      konioDrive(static_cast<std::size_t>(std::max(count, 0)), 0.0f) {}

void TrnLayer::step(const std::vector<RetinaEvent>& sensorEvents,
                    const std::vector<RetinaEvent>& konioEvents) {
  const int n = static_cast<int>(konioDrive.size());

  // A masked sensor's Photoreceptor and KonioInput events both count, so its sum is doubled.
  std::vector<float> sums(konioDrive.size(), 0.0f);
  for (const RetinaEvent& event : sensorEvents) {
    if (event.src >= 0 && event.src < n) {
      sums[static_cast<std::size_t>(event.src)] += event.weight;
    }
  }

  for (const RetinaEvent& event : konioEvents) {
    if (event.kind == kKonioOutput && event.dst >= 0 && event.dst < n) {
      konioDrive[static_cast<std::size_t>(event.dst)] = event.weight;
    }
  }

  std::vector<float> next(konioDrive.size());
  for (std::size_t i = 0; i < next.size(); ++i) {
    next[i] = 1.0f / (std::fabs(sums[i] - konioDrive[i]) * strength + 1.0f);
  }

  // The frame loop reads gains under this mutex; it only ever sees a complete set.
  std::lock_guard<std::mutex> lock(gainTable.mutex);
  gainTable.gains.swap(next);
}
