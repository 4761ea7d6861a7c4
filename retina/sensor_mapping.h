#pragma once

#include <cstdint>

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

// The frame pixel (column, row) under `sensor` for a fovea centre at (cx, cy).
inline cv::Point sensorPixel(const Sensor& sensor, std::int32_t cx, std::int32_t cy,
                             float retinaScale) {
  return cv::Point(cx, cy) + sensorOffset(sensor, retinaScale);
}

// Visible pixels lie in [0, cols) x [0, rows); every stage skips the others without a report.
inline bool insideFrame(cv::Point pixel, const cv::Mat& frame) {
  return pixel.x >= 0 && pixel.x < frame.cols && pixel.y >= 0 && pixel.y < frame.rows;
}
