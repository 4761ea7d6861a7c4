#pragma once

#include <cstdint>
#include <vector>

// The colour class of a sensor: which channel of the pixel under it the sensor reads.
// The names are the classes' own names. A value outside the four (for instance one built from
// another name) reads the mean of the three channels, exactly like `alb_negru`.
enum class ColorClass : std::uint8_t {
  albastru,   // blue: every spiral sensor
  rosu,       // red: even-numbered satellites of a central spiral point
  verde,      // green: odd-numbered satellites of a central spiral point
  alb_negru,  // black and white: satellites of a peripheral spiral point
};

// One sampling point of the retina. Positions are retina units around the retina centre:
// x grows to the right (frame columns), y grows downward (frame rows).
struct Sensor {
  std::int32_t index = 0;  // position in Retina::sensors; the key of every per-sensor vector
  std::int32_t x = 0;
  std::int32_t y = 0;
  ColorClass colorClass = ColorClass::alb_negru;
  bool isPrime = false;   // a spiral sensor whose spiral ordinal (from 1) is prime
  bool isSpiral = false;  // stands on a spiral point (false for a satellite)
};

inline bool isPrimeSpiral(const Sensor& sensor) {
  return sensor.isSpiral && sensor.isPrime;
}

// All sensors in generation order: each spiral sensor directly followed by its satellites,
// clusters from the centre outward.
struct Retina {
  std::vector<Sensor> sensors;
};
