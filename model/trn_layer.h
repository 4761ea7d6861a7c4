#pragma once

#include <mutex>
#include <vector>

#include "model/event_queue.h"

// Per-sensor gains, written by the TRN stage and read by the frame loop.
struct GainTable {
  explicit GainTable(int count);  // gains 1.0; mask set at 0, 10, 20, ... below count

  std::vector<float> gains;     // in (0, 1]; replaced only as a whole, guarded by `mutex`
  std::vector<bool> konioMask;  // fixed at creation; read without a lock
  std::mutex mutex;             // the gain mutex; never taken while holding the queue mutex
};

constexpr int kKonioMaskStride = 10;

// Thalamic reticular inhibition: turns the mismatch between a sensor's drive in one batch and
// its Konio drive into a gain 1 / (1 + strength * |sum - drive|). Worker thread only.
struct TrnLayer {
  TrnLayer(GainTable& gainTable, int count, float strength);

  // Sums the weights of all sensor events by `src` (any kind), takes the latest `KonioOutput`
  // weight per unit as its drive, computes every gain and publishes them under the gain mutex.
  void step(const std::vector<RetinaEvent>& sensorEvents,
            const std::vector<RetinaEvent>& konioEvents);

  GainTable& gainTable;
  float strength;
  std::vector<float> konioDrive;  // latest `KonioOutput` weight per unit; never reset
};
