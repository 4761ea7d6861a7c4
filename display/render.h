#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "retina/sensor.h"

constexpr float kLowGainThreshold = 0.2f;  // a gain below it gets a red ring

// Redraws the retina into `canvas`: a black image of the frame's size with one disc per visible
// sensor in the colour its class reads from the pixel under it, darkened by its gain, yellow and
// larger for prime spiral sensors, and a red ring where the gain is below kLowGainThreshold.
// Sensors beyond the end of `gainSnapshot` (or all, when it is empty) count with gain 1.0.
// `frame` is 8-bit BGR and only read; `canvas` keeps its storage while the size stays.
void renderRetina(const cv::Mat& frame, const std::vector<Sensor>& sensors, std::int32_t cx,
                  std::int32_t cy, float retinaScale, cv::Mat& canvas,
                  const std::vector<float>& gainSnapshot = {});
