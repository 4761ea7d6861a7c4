#include "app/sampling.h"

#include <algorithm>

#include "retina/color_response.h"

std::vector<float> sampleActivations(const cv::Mat& frame, const Retina& retina,
                                     const SensorOffsets& offsets, std::int32_t cx,
                                     std::int32_t cy) {
  std::vector<float> activations(retina.sensors.size(), 0.0f);
  const std::size_t n = std::min(retina.sensors.size(), offsets.size());
  for (std::size_t i = 0; i < n; ++i) {
    const Sensor& sensor = retina.sensors[i];
    const cv::Point pixel(cx + offsets[i].x, cy + offsets[i].y);
    if (!insideFrame(pixel, frame)) continue;
    if (sensor.index < 0 || static_cast<std::size_t>(sensor.index) >= activations.size()) continue;
    activations[sensor.index] =
        colorResponse(sensor.colorClass, frame.ptr<std::uint8_t>(pixel.y) + 3 * pixel.x);
  }
  return activations;
}

std::size_t emitFrameEvents(EventQueue& queue, const std::vector<float>& activations,
                            const GainTable& gainTable, double t1, std::vector<float>& gainCopy) {
  // One copy of the gains under the gain mutex, then the pushes without it: the worker can then
  // drain and publish between any two pushes instead of waiting for the whole pass, so a bright
  // frame loses fewer events to the queue bound. Every weight of the frame still comes from one
  // complete set of gains.
  gainTable.copyGains(gainCopy);
  const std::vector<bool>& mask = gainTable.konioMask();  // fixed since start-up: no lock needed

  queue.push({t1, -1, -1, 0.0f, EventKind::FrameMarker});
  std::size_t pushed = 1;
  const std::size_t count = std::min({activations.size(), gainCopy.size(), mask.size()});
  for (std::size_t i = 0; i < count; ++i) {
    const float weight = gainCopy[i] * activations[i];
    if (!(weight > kEmitThreshold)) continue;
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
