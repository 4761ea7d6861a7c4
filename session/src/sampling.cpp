#include "session/sampling.h"

#include <algorithm>

#include "retina/color_response.h"

void sampleActivations(const cv::Mat& frame, const PackedSensors& sensors, std::int32_t cx,
                       std::int32_t cy, std::vector<float>& activations) {
  activations.assign(sensors.size(), 0.0f);
  const cv::Size frameSize = frame.size();
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    const cv::Point offset = packedOffset(sensors[i]);
    const cv::Point pixel(cx + offset.x, cy + offset.y);
    if (!insideFrame(pixel, frameSize)) continue;
    activations[i] =
        colorResponse(sensors[i].colorClass, frame.ptr<std::uint8_t>(pixel.y) + 3 * pixel.x);
  }
}

namespace {

// One push per event: the worker can drain and publish between any two pushes instead of
// waiting for the whole pass, so a bright frame loses fewer events to the queue bound.
std::size_t pushEventByEvent(EventQueue& queue, const std::vector<float>& activations,
                             const std::vector<float>& gains, const std::vector<bool>& mask,
                             std::size_t count, double t1, float threshold) {
  queue.push({t1, -1, -1, 0.0f, EventKind::FrameMarker});
  std::size_t pushed = 1;
  for (std::size_t i = 0; i < count; ++i) {
    const float weight = gains[i] * activations[i];
    if (!(weight > threshold)) continue;
    const auto index = static_cast<std::int32_t>(i);
    queue.push({t1, index, index, weight, EventKind::Photoreceptor});
    ++pushed;
    if (mask[i]) {
      queue.push({t1, index, index, weight, EventKind::KonioInput});
      ++pushed;
    }
  }
  return pushed;
}

// The frame as one run: `weights` first becomes every sensor's weight, which also gives the
// run's length, so that the queue can tell which of the run's events it would keep; only those
// are built.
std::size_t pushAsOneRun(EventQueue& queue, const std::vector<float>& activations,
                         std::vector<float>& weights, const std::vector<bool>& mask,
                         std::size_t count, double t1, float threshold) {
  std::size_t events = 1;
  for (std::size_t i = 0; i < count; ++i) {
    const float weight = weights[i] * activations[i];
    weights[i] = weight;
    if (weight > threshold) events += mask[i] ? 2 : 1;
  }
  queue.pushRun(events, [&](std::size_t skip, EventQueue::RunWriter& write) {
    if (skip == 0) write({t1, -1, -1, 0.0f, EventKind::FrameMarker});
    std::size_t number = 1;  // the run's number of the next event
    for (std::size_t i = 0; i < count; ++i) {
      const float weight = weights[i];
      if (!(weight > threshold)) continue;
      const auto index = static_cast<std::int32_t>(i);
      if (number >= skip) write({t1, index, index, weight, EventKind::Photoreceptor});
      ++number;
      if (mask[i]) {
        if (number >= skip) write({t1, index, index, weight, EventKind::KonioInput});
        ++number;
      }
    }
  });
  return events;
}

}  // namespace

std::size_t emitFrameEvents(EventQueue& queue, const std::vector<float>& activations,
                            const GainTable& gainTable, double t1, std::vector<float>& gainCopy,
                            ModelMode mode, const SamplingParameters& sampling) {
  // One copy of the gains under the gain mutex, then the pushes without it. Every weight of the
  // frame comes from one complete set of gains.
  gainTable.copyGains(gainCopy);
  const std::vector<bool>& mask = gainTable.konioMask();  // fixed since start-up: no lock needed
  const std::size_t count = std::min({activations.size(), gainCopy.size(), mask.size()});
  if (mode == ModelMode::steppedAfterEmission) {
    return pushAsOneRun(queue, activations, gainCopy, mask, count, t1, sampling.emitThreshold);
  }
  return pushEventByEvent(queue, activations, gainCopy, mask, count, t1, sampling.emitThreshold);
}
