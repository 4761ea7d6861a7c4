#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "model/event_queue.h"
#include "model/model.h"
#include "model/trn_layer.h"
#include "retina/sensor.h"
#include "retina/sensor_mapping.h"

// Which sensors emit.
struct SamplingParameters {
  float emitThreshold = 0.03f;  // a sensor's gain x activation must exceed it to emit
};

// One activation in [0, 1] per sensor: the byte of the channel its class reads / 255, or for
// any other class the sum of the three / 765. Sensor i lands at (cx, cy) + its offset; sensors
// off the frame keep 0. `frame` is 8-bit BGR. `activations` is replaced and keeps its storage.
void sampleActivations(const cv::Mat& frame, const PackedSensors& sensors, std::int32_t cx,
                       std::int32_t cy, std::vector<float>& activations);

// Pushes the frame's events, all stamped `t1` (steady-clock seconds): one `FrameMarker`, then in
// ascending index a `Photoreceptor` event for every sensor whose gain x activation exceeds
// `sampling.emitThreshold`, followed by a `KonioInput` event with the same weight where the Konio
// mask is set. `gainCopy` is scratch storage kept by the caller so that no frame allocates. Returns
// the number of events pushed, those displaced by the bound included.
//
// With the worker thread, one queue push (one lock) per event, so that the worker can drain
// during the pass. In the stepped mode nothing can drain until the pass ends, so the events go
// in as one run under one lock, and those that the bound would displace before then are only
// counted: the queue, its counters and its push log end exactly as with one push per event.
std::size_t emitFrameEvents(EventQueue& queue, const std::vector<float>& activations,
                            const GainTable& gainTable, double t1, std::vector<float>& gainCopy,
                            ModelMode mode = ModelMode::workerThread,
                            const SamplingParameters& sampling = {});
