#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "retina/sensor.h"

// The one sensor-to-pixel mapping that sampling, the fovea update and rendering share.
//
// A sensor lands `sensorOffset` pixels away from the fovea centre: its position times
// `retinaScale` (pixels per retina unit) in single precision, truncated toward zero, so that
// offsets of -0.9 and +0.9 both land on the centre's own column. The centre is added after the
// truncation.
inline cv::Point sensorOffset(const Sensor& sensor, float retinaScale) {
  return {static_cast<std::int32_t>(static_cast<float>(sensor.x) * retinaScale),
          static_cast<std::int32_t>(static_cast<float>(sensor.y) * retinaScale)};
}

// Every sensor's offset, in list order. `retinaScale` is fixed by the first frame, so the frame
// loop computes this once and every stage adds the current centre to it.
using SensorOffsets = std::vector<cv::Point>;

inline SensorOffsets placeSensors(const std::vector<Sensor>& sensors, float retinaScale) {
  SensorOffsets offsets;
  offsets.reserve(sensors.size());
  for (const Sensor& sensor : sensors)
    offsets.push_back(sensorOffset(sensor, retinaScale));
  return offsets;
}

// Visible pixels lie in [0, cols) x [0, rows); every stage skips the others without a report.
inline bool insideFrame(cv::Point pixel, cv::Size frameSize) {
  return pixel.x >= 0 && pixel.x < frameSize.width && pixel.y >= 0 && pixel.y < frameSize.height;
}
inline bool insideFrame(cv::Point pixel, const cv::Mat& frame) {
  return insideFrame(pixel, frame.size());
}

// What the passes over the sensors read of one sensor, in 8 bytes instead of the 24 of a Sensor
// and its offset, so that sampling, the fovea update and rendering each go through a third of
// the memory. Sensor i's record is element i: its index is its position.
struct PackedSensor {
  std::int16_t dx = 0;  // pixel offset from the centre at retinaScale, as sensorOffset gives it
  std::int16_t dy = 0;
  ColorClass colorClass = ColorClass::alb_negru;
  bool primeSpiral = false;  // isPrimeSpiral
  std::uint16_t unused = 0;
};
static_assert(sizeof(PackedSensor) == 8, "a packed sensor is 8 bytes");

using PackedSensors = std::vector<PackedSensor>;

// Packs every sensor with its offset. Returns an empty list when the sensors cannot be packed: a
// sensor whose index is not its position, as many offsets as sensors missing, or an offset
// beyond 16 bits (a frame over 65534 pixels on its shorter side), which no pass can then read.
PackedSensors packSensors(const std::vector<Sensor>& sensors, const SensorOffsets& offsets);

inline cv::Point packedOffset(const PackedSensor& sensor) {
  return {sensor.dx, sensor.dy};
}
