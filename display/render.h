#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "retina/sensor.h"
#include "retina/sensor_mapping.h"

// What the drawing marks.
struct DrawingParameters {
  float lowGainThreshold = 0.2f;  // a sensor whose gain is below it gets a red ring
};

// Radius in pixels of the disc drawn for `sensor`: larger for prime spiral sensors.
int discRadius(const Sensor& sensor);

// Marks the sensors whose disc a later sensor's disc, on the same pixel and at least as large,
// covers completely; rendering leaves those discs out (their rings, if any, are still drawn).
// With the program's retina most satellites land on their spiral sensor's pixel, so this spares
// most of the drawing without changing a single pixel. Depends only on the placement, so the
// frame loop computes it once.
std::vector<std::uint8_t> findHiddenDiscs(const std::vector<Sensor>& sensors,
                                          const SensorOffsets& offsets);

// Redraws the retina into `canvas`: a black image of the frame's size with one disc per visible
// sensor in the colour its class reads from the pixel under it, darkened by its gain, yellow and
// larger for prime spiral sensors, and a red ring where the gain is below the low-gain threshold.
// Sensor i lands at (cx, cy) + offsets[i]. Sensors beyond the end of `gainSnapshot` (or all,
// when it is empty) count with gain 1.0. `hiddenDiscs` comes from findHiddenDiscs; empty means
// draw every disc. `frame` is 8-bit BGR and only read; `canvas` keeps its storage while the size
// stays. The pixels are exactly those of cv::circle calls in sensor order.
void renderRetina(const cv::Mat& frame, const std::vector<Sensor>& sensors,
                  const SensorOffsets& offsets, const std::vector<std::uint8_t>& hiddenDiscs,
                  std::int32_t cx, std::int32_t cy, cv::Mat& canvas,
                  const std::vector<float>& gainSnapshot = {},
                  const DrawingParameters& drawing = {});
// The same from the packed records (packSensors) of the sensors, hidden discs flagged in them.
void renderRetina(const cv::Mat& frame, const PackedSensors& sensors, std::int32_t cx,
                  std::int32_t cy, cv::Mat& canvas, const std::vector<float>& gainSnapshot,
                  const DrawingParameters& drawing = {});
