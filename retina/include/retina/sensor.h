#pragma once

#include <array>
#include <cstddef>
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

// Each class's name and what it reads, at the index of its value: the one place the data files
// (the export's value_names and description of /retina/color_class) and the Python module take
// them from.
struct ColorClassName {
  ColorClass value;
  const char* name;    // the enumerator's own name
  const char* colour;  // in English: "blue", "red", "green", "grey"
  const char* reads;   // what the sensor reads: its channel, or "the mean of the three" channels
};

inline constexpr std::array<ColorClassName, 4> kColorClassNames{{
    {ColorClass::albastru, "albastru", "blue", "blue"},
    {ColorClass::rosu, "rosu", "red", "red"},
    {ColorClass::verde, "verde", "green", "green"},
    {ColorClass::alb_negru, "alb_negru", "grey", "the mean of the three"},
}};

constexpr bool colorClassNamesInValueOrder() {
  for (std::size_t i = 0; i < kColorClassNames.size(); ++i) {
    if (static_cast<std::size_t>(kColorClassNames[i].value) != i) return false;
  }
  return true;
}
static_assert(colorClassNamesInValueOrder(), "kColorClassNames[i] names the class of value i");

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
