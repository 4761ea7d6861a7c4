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
  std::uint8_t flags = 0;  // kPackedPrimeSpiral | kPackedHiddenDisc
  std::uint16_t unused = 0;
};
static_assert(sizeof(PackedSensor) == 8, "a packed sensor is 8 bytes");

constexpr std::uint8_t kPackedPrimeSpiral = 1;  // isPrimeSpiral
constexpr std::uint8_t kPackedHiddenDisc = 2;   // rendering leaves the disc out (its ring stays)

using PackedSensors = std::vector<PackedSensor>;

// Packs every sensor with its offset, flagging the discs where `hiddenDiscs` holds a non-zero
// byte (empty: none). Returns an empty list when the sensors cannot be packed: a sensor whose
// index is not its position, as many offsets as sensors missing, or an offset beyond 16 bits
// (a frame over 65534 pixels on its shorter side). The passes then read the sensor list.
PackedSensors packSensors(const std::vector<Sensor>& sensors, const SensorOffsets& offsets,
                          const std::vector<std::uint8_t>& hiddenDiscs);

// The two ways a pass reads the sensors, behind one interface, so that each pass is written
// once. `index` is the key of the per-sensor vectors; a negative index converts to a huge one,
// which every pass treats as beyond their end.
class SensorListView {
 public:
  // The view keeps pointers into the three lists: they must outlive it. No hidden discs
  // without `hiddenDiscs`.
  SensorListView(const std::vector<Sensor>& sensors, const SensorOffsets& offsets)
      : sensors_(sensors.data()),
        offsets_(offsets.data()),
        size_(sensors.size() < offsets.size() ? sensors.size() : offsets.size()) {}
  SensorListView(const std::vector<Sensor>& sensors, const SensorOffsets& offsets,
                 const std::vector<std::uint8_t>& hiddenDiscs)
      : SensorListView(sensors, offsets) {
    hidden_ = hiddenDiscs.data();
    hiddenCount_ = hiddenDiscs.size();
  }
  SensorListView(const std::vector<Sensor>&, const SensorOffsets&,
                 std::vector<std::uint8_t>&&) = delete;
  std::size_t size() const { return size_; }
  cv::Point offset(std::size_t i) const { return offsets_[i]; }
  ColorClass colorClass(std::size_t i) const { return sensors_[i].colorClass; }
  std::size_t index(std::size_t i) const { return static_cast<std::size_t>(sensors_[i].index); }
  bool primeSpiral(std::size_t i) const { return isPrimeSpiral(sensors_[i]); }
  bool hiddenDisc(std::size_t i) const { return i < hiddenCount_ && hidden_[i] != 0; }

 private:
  const Sensor* sensors_;
  const cv::Point* offsets_;
  const std::uint8_t* hidden_ = nullptr;
  std::size_t hiddenCount_ = 0;
  std::size_t size_;
};

class PackedSensorView {
 public:
  explicit PackedSensorView(const PackedSensors& packed)  // which must outlive the view
      : packed_(packed.data()), size_(packed.size()) {}
  std::size_t size() const { return size_; }
  cv::Point offset(std::size_t i) const { return {packed_[i].dx, packed_[i].dy}; }
  ColorClass colorClass(std::size_t i) const { return packed_[i].colorClass; }
  std::size_t index(std::size_t i) const { return i; }
  bool primeSpiral(std::size_t i) const { return (packed_[i].flags & kPackedPrimeSpiral) != 0; }
  bool hiddenDisc(std::size_t i) const { return (packed_[i].flags & kPackedHiddenDisc) != 0; }

 private:
  const PackedSensor* packed_;
  std::size_t size_;
};
