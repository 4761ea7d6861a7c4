#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "retina/sensor.h"
#include "retina/sensor_mapping.h"

// The centre of the retina in camera-frame pixels. Any value is a position, -1 included (the
// margin clamp on a frame under 100 pixels gives one); whether the centre has been placed yet is
// the session's to know.
struct FoveaCenter {
  std::int32_t cx = -1;  // column
  std::int32_t cy = -1;  // row
};

constexpr std::int32_t kFoveaMargin = 100;  // pixels kept from each frame edge by the update

// Moves `center` by `stepFraction` of the offset from the brightness- and Konio-weighted
// centroid of the visible sensors to the frame's middle, then keeps it kFoveaMargin inside the
// edges (upper bound tested first, so the bounds of a frame under 200 pixels cross). With no
// positive total weight the centre stays exactly where it is, unclamped. Sensor i lands at the
// centre + offsets[i]; `frame` is 8-bit BGR.
void updateFoveaCenter(const cv::Mat& frame, const std::vector<Sensor>& sensors,
                       const SensorOffsets& offsets, FoveaCenter& center,
                       const std::vector<float>& konioSnapshot, float stepFraction);
// The same from the packed records (packSensors) of the sensors.
void updateFoveaCenter(const cv::Mat& frame, const PackedSensors& sensors, FoveaCenter& center,
                       const std::vector<float>& konioSnapshot, float stepFraction);
