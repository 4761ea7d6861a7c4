#include "retina/sensor_mapping.h"

#include <limits>

namespace {

bool fitsInt16(int value) {
  return value >= std::numeric_limits<std::int16_t>::min() &&
         value <= std::numeric_limits<std::int16_t>::max();
}

}  // namespace

PackedSensors packSensors(const std::vector<Sensor>& sensors, const SensorOffsets& offsets) {
  if (offsets.size() != sensors.size()) return {};
  PackedSensors packed(sensors.size());
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    const Sensor& sensor = sensors[i];
    const cv::Point offset = offsets[i];
    if (static_cast<std::size_t>(sensor.index) != i || !fitsInt16(offset.x) ||
        !fitsInt16(offset.y)) {
      return {};
    }
    PackedSensor& p = packed[i];
    p.dx = static_cast<std::int16_t>(offset.x);
    p.dy = static_cast<std::int16_t>(offset.y);
    p.colorClass = sensor.colorClass;
    p.primeSpiral = isPrimeSpiral(sensor);
  }
  return packed;
}
