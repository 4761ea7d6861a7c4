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

// Which discs rendering leaves out, one byte per sensor (1: hidden): those that a later sensor's
// disc, on the same pixel and at least as large, covers completely (their rings, if any, are
// still drawn). With the program's retina most satellites land on their spiral sensor's pixel,
// so this spares most of the drawing without changing a single pixel. Depends only on the
// placement, so the frame loop computes it once.
using HiddenDiscs = std::vector<std::uint8_t>;
HiddenDiscs findHiddenDiscs(const PackedSensors& sensors);

// What rendering reads of one sensor, in 8 bytes like the packed record it comes from: the
// offset, the class and the drawing's own flags.
struct DiscRecord {
  std::int16_t dx = 0;  // pixel offset from the centre, as in PackedSensor
  std::int16_t dy = 0;
  ColorClass colorClass = ColorClass::alb_negru;
  std::uint8_t flags = 0;  // kDiscPrimeSpiral | kDiscHidden
  std::uint16_t unused = 0;
};
static_assert(sizeof(DiscRecord) == 8, "a disc record is 8 bytes");
constexpr std::uint8_t kDiscPrimeSpiral = 1;  // the larger yellow disc
constexpr std::uint8_t kDiscHidden = 2;       // findHiddenDiscs: the disc is left out, its ring not
using DiscRecords = std::vector<DiscRecord>;

// The packed sensors as rendering reads them, hidden discs flagged; computed once per placement.
DiscRecords discRecords(const PackedSensors& sensors);

// Redraws the retina into `canvas`: a black image of the frame's size with one disc per visible
// sensor in the colour its class reads from the pixel under it, darkened by its gain, yellow and
// larger for prime spiral sensors, and a red ring where the gain is below the low-gain threshold.
// Sensor i lands at (cx, cy) + its offset. Sensors beyond the end of `gainSnapshot` (or all,
// when it is empty) count with gain 1.0. `frame` is 8-bit BGR and only read; `canvas` keeps its
// storage while the size stays. The pixels are exactly those of cv::circle calls in sensor order.
void renderRetina(const cv::Mat& frame, const DiscRecords& discs, std::int32_t cx, std::int32_t cy,
                  cv::Mat& canvas, const std::vector<float>& gainSnapshot = {},
                  const DrawingParameters& drawing = {});
