#pragma once

#include <atomic>
#include <vector>

#include "model/event_queue.h"

// How the Konio units integrate and announce their input.
struct KonioParameters {
  float decay = 0.98f;           // share of its activity a unit keeps per step without enough input
  float inputThreshold = 0.05f;  // a unit's summed input in a batch must exceed this to rise
  float inputGain = 0.5f;        // share of the summed input added to the activity
  float outputThreshold = 0.1f;  // a unit emits while its activity exceeds this
};

constexpr float kKonioCeiling = 1.0f;  // activity never exceeds this

// Koniocellular units, one per sensor index. Only `KonioInput` events feed them; a unit rises
// quickly under strong input, otherwise decays, and announces itself while above the output
// threshold.
//
// Threads: `step` runs on the worker thread only, and only it writes `activity`. The main
// thread may call `copyActivity` at any time, also during a step: every element is a relaxed
// atomic, so the copy is race-free without a lock (it may mix two successive steps).
struct KonioLayer {
  explicit KonioLayer(int count, const KonioParameters& parameters = {});

  // Integrates the `KonioInput` weights of one batch, updates every unit once in ascending order
  // (above the input threshold: gain x input added, up to the ceiling; otherwise decay x
  // activity) and pushes one `KonioOutput` event (stamped `batchTime`) per unit above the output
  // threshold, each push before the next unit is updated. Worker thread only.
  void step(const std::vector<RetinaEvent>& sensorEvents, double batchTime, EventQueue& queue);

  // Replaces `out` with the current activities (keeps its storage). Any thread.
  void copyActivity(std::vector<float>& out) const;

  int size() const { return static_cast<int>(activity.size()); }

  std::vector<std::atomic<float>> activity;  // per unit, in [0, 1]; relaxed loads and stores
  KonioParameters parameters;
  std::vector<float> input;  // `step`'s summed input per unit, kept between steps
};
