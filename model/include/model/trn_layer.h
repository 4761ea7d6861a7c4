#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "model/event_queue.h"

// How the TRN stage inhibits, and which sensors feed the Konio stage.
struct TrnParameters {
  float strength = 5.0f;         // gain = 1 / (1 + strength x |batch sum - Konio drive|)
  std::int32_t maskStride = 10;  // sensors 0, stride, 2 x stride, ... feed the Konio stage
};

// Per-sensor gains, written by the TRN stage and read by the frame loop. The gains are replaced
// only as a whole, under the gain mutex, so a reader always sees one complete set. The gain mutex
// is never taken while holding the queue mutex.
class GainTable {
 public:
  // Gains 1.0; mask set at 0, maskStride, 2 x maskStride, ... below count. Throws
  // std::invalid_argument for a stride below 1.
  explicit GainTable(int count, std::int32_t maskStride = TrnParameters{}.maskStride);

  // Replaces `out` with the current gains, each in (0, 1] (keeps its storage). Any thread.
  void copyGains(std::vector<float>& out) const;
  std::vector<float> gains() const;  // the same into a new vector

  // Makes `next` the current gains and hands the previous ones back in it, so that a writer
  // that keeps `next` allocates nothing. `next` must hold size() gains. Any thread.
  void publish(std::vector<float>& next);

  // Fixed at creation and read without a lock: bit i feeds sensor i's weight to the Konio stage.
  const std::vector<bool>& konioMask() const { return konioMask_; }
  std::size_t size() const { return konioMask_.size(); }

 private:
  std::vector<float> gains_;     // guarded by `mutex_`
  std::vector<bool> konioMask_;  // fixed at creation
  mutable std::mutex mutex_;     // the gain mutex
};

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
  // `step`'s own storage, kept between steps so that a step allocates nothing: the batch sums,
  // and the next gains (after publishing, the gains they replaced).
  std::vector<float> sums;
  std::vector<float> next;
};
