#pragma once

#include <cstdint>

#include "retina/sensor.h"

// Lays `spiralCount` spiral points on a golden-angle spiral whose last point lies at radius
// `diameter` / 2 (retina units), puts a blue spiral sensor on every point and rings each point
// with satellites 3 units away: `fovealSatellites` red/green ones around points whose radius is
// below `fovealRadius`, `peripheralSatellites` black-and-white ones around the others (0 or
// fewer: none). Throws std::length_error for a negative `spiralCount`.
Retina generateFibonacciRetina(std::int32_t spiralCount, std::int32_t diameter,
                               std::int32_t fovealRadius, std::int32_t fovealSatellites,
                               std::int32_t peripheralSatellites);

// The generator's five arguments, in its order.
struct RetinaLayout {
  std::int32_t spiralCount;
  std::int32_t diameter;      // retina units
  std::int32_t fovealRadius;  // retina units
  std::int32_t fovealSatellites;
  std::int32_t peripheralSatellites;
};

inline Retina generateFibonacciRetina(const RetinaLayout& layout) {
  return generateFibonacciRetina(layout.spiralCount, layout.diameter, layout.fovealRadius,
                                 layout.fovealSatellites, layout.peripheralSatellites);
}

// The demo's retina: 4096 spiral points out to 32768 units, 12 satellites around the points
// within 8192 units of the centre and 6 around the others (30202 sensors).
constexpr RetinaLayout kDemoRetina{4096, 65536, 8192, 12, 6};

// Exact primality of a spiral ordinal.
bool isPrimeOrdinal(std::int32_t n);
