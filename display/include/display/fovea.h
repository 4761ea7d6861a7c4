#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "retina/sensor.h"
#include "retina/sensor_mapping.h"

// The centre of the retina in camera-frame pixels. Any value is a position, -1 included (the
// margin clamp on a frame smaller than the margin gives one); whether the centre has been placed
// yet is the session's to know.
struct FoveaCenter {
  std::int32_t cx = -1;  // column
  std::int32_t cy = -1;  // row
};

// How the model moves the fovea. A sensor's weight in the centroid is its brightness (the mean
// of the pixel's channels, in [0, 1]), times primeSpiralWeight for a prime spiral sensor, plus
// konioWeight times its Konio activity.
struct FoveaParameters {
  float stepFraction = 0.3f;       // share of the offset from the centroid moved per frame
  std::int32_t margin = 100;       // pixels kept from each frame edge
  float primeSpiralWeight = 5.0f;  // factor on a prime spiral sensor's brightness
  float konioWeight = 2.0f;        // weight of a sensor's Konio activity
};

// Moves `center` by `fovea.stepFraction` of the offset from the weighted centroid of the visible
// sensors to the frame's middle, then keeps it `fovea.margin` inside the edges (upper bound
// tested first, so the bounds of a frame under twice the margin cross). With no positive total
// weight the centre stays exactly where it is, unclamped. Sensor i lands at the centre + its
// offset; `frame` is 8-bit BGR.
void updateFoveaCenter(const cv::Mat& frame, const PackedSensors& sensors, FoveaCenter& center,
                       const std::vector<float>& konioSnapshot, const FoveaParameters& fovea);
