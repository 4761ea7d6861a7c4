#include "app/sampling.h"

#include <algorithm>
#include <mutex>

#include "retina/sensor_mapping.h"

namespace {

float activationOf(ColorClass colorClass, const std::uint8_t* bgr) {
  switch (colorClass) {
    case ColorClass::albastru:
      return static_cast<float>(bgr[0]) / 255.0f;
    case ColorClass::verde:
      return static_cast<float>(bgr[1]) / 255.0f;
    case ColorClass::rosu:
      return static_cast<float>(bgr[2]) / 255.0f;
    default:
      return static_cast<float>(bgr[0] + bgr[1] + bgr[2]) / 765.0f;
  }
}

}  // namespace

std::vector<float> sampleActivations(const cv::Mat& frame, const Retina& retina, std::int32_t cx,
                                     std::int32_t cy, float retinaScale) {
  std::vector<float> activations(retina.sensors.size(), 0.0f);
  for (const Sensor& sensor : retina.sensors) {
    const cv::Point pixel = sensorPixel(sensor, cx, cy, retinaScale);
    if (!insideFrame(pixel, frame)) continue;
    if (sensor.index < 0 || static_cast<std::size_t>(sensor.index) >= activations.size()) continue;
    activations[sensor.index] =
        activationOf(sensor.colorClass, frame.ptr<std::uint8_t>(pixel.y) + 3 * pixel.x);
  }
  return activations;
}

std::size_t emitFrameEvents(EventQueue& queue, const std::vector<float>& activations,
                            GainTable& gainTable, double t1, std::vector<float>& gainCopy) {
  // One copy of the gains under the gain mutex, then the pushes without it: the worker can then
  // drain and publish between any two pushes instead of waiting for the whole pass, so a bright
  // frame loses fewer events to the queue bound. Every weight of the frame still comes from one
  // complete set of gains.
  {
    std::lock_guard<std::mutex> lock(gainTable.mutex);
    gainCopy.assign(gainTable.gains.begin(), gainTable.gains.end());
  }
  const std::vector<bool>& mask = gainTable.konioMask;  // fixed since start-up: no lock needed

  queue.push({t1, -1, -1, 0.0f, kFrameMarker});
  std::size_t pushed = 1;
  const std::size_t count = std::min({activations.size(), gainCopy.size(), mask.size()});
  for (std::size_t i = 0; i < count; ++i) {
    const float weight = gainCopy[i] * activations[i];
    if (!(weight > kEmitThreshold)) continue;
    const auto index = static_cast<std::int32_t>(i);
    queue.push({t1, index, index, weight, kPhotoreceptor});
    ++pushed;
    if (mask[i]) {
      queue.push({t1, index, index, weight, kKonioInput});
      ++pushed;
    }
  }
  return pushed;
}
