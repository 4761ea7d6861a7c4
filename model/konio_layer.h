#pragma once

#include <atomic>
#include <vector>

#include "model/event_queue.h"

// Koniocellular units, one per sensor index. Only `KonioInput` events feed them; a unit rises
// quickly under strong input, otherwise decays, and announces itself while above 0.1.
//
// Threads: `step` runs on the worker thread only, and only it writes `activity`. The main
// thread may call `copyActivity` at any time, also during a step: every element is a relaxed
// atomic, so the copy is race-free without a lock (it may mix two successive steps).
struct KonioLayer {
  KonioLayer(int count, float decay);

  // Integrates the `KonioInput` weights of one batch, updates every unit once in ascending order
  // and pushes one `KonioOutput` event (stamped `batchTime`) per unit above the output threshold,
  // each push before the next unit is updated. Worker thread only.
  void step(const std::vector<RetinaEvent>& sensorEvents, double batchTime, EventQueue& queue);

  // Replaces `out` with the current activities (keeps its storage). Any thread.
  void copyActivity(std::vector<float>& out) const;

  int size() const { return static_cast<int>(activity.size()); }

  std::vector<std::atomic<float>> activity;  // per unit, in [0, 1]; relaxed loads and stores
  float decay;                               // factor per step without enough input
  std::vector<float> input;                  // `step`'s summed input per unit, kept between steps
};

constexpr float kKonioInputThreshold = 0.05f;  // summed input must exceed this to rise
constexpr float kKonioInputGain = 0.5f;        // share of the summed input added
constexpr float kKonioCeiling = 1.0f;          // activity never exceeds this
constexpr float kKonioOutputThreshold = 0.1f;  // a unit emits while its activity exceeds this
