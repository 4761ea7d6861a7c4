#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>

#include "retina/sensor.h"

constexpr float kSatelliteRadius = 3.0f;  // retina units from a satellite to its spiral point

// Lays `spiralCount` spiral points on a golden-angle spiral whose last point lies at radius
// `diameter` / 2 (retina units), puts a blue spiral sensor on every point and rings each point
// with satellites `satelliteRadius` units away: `fovealSatellites` red/green ones around points
// whose radius is below `fovealRadius`, `peripheralSatellites` black-and-white ones around the
// others (0 or fewer: none). Points that round onto the same position are moved apart by a
// random walk whose random source is the generator's own, seeded alike on every call: a layout
// is the same in every process, whatever else has drawn random numbers. Throws
// std::length_error for a negative `spiralCount`.
Retina generateFibonacciRetina(std::int32_t spiralCount, std::int32_t diameter,
                               std::int32_t fovealRadius, std::int32_t fovealSatellites,
                               std::int32_t peripheralSatellites,
                               float satelliteRadius = kSatelliteRadius);

// The generator's arguments, in its order. The defaults are the demo's retina: 4096 spiral
// points out to 32768 units, 12 satellites around the points within 8192 units of the centre
// and 6 around the others (30202 sensors).
struct RetinaLayout {
  std::int32_t spiralCount = 4096;
  std::int32_t diameter = 65536;     // retina units
  std::int32_t fovealRadius = 8192;  // retina units
  std::int32_t fovealSatellites = 12;
  std::int32_t peripheralSatellites = 6;
  float satelliteRadius = kSatelliteRadius;  // retina units
};

inline Retina generateFibonacciRetina(const RetinaLayout& layout) {
  return generateFibonacciRetina(layout.spiralCount, layout.diameter, layout.fovealRadius,
                                 layout.fovealSatellites, layout.peripheralSatellites,
                                 layout.satelliteRadius);
}

// Heard while a layout is built: `done` of `total` steps (each spiral point is placed, then given
// its ring: total is twice the spiral count), every kLayoutProgressEvery steps and once at the
// end. Returning false abandons the build: the generator throws LayoutCancelled. A layout of
// millions of points takes seconds to tens of seconds.
using LayoutProgress = std::function<bool(std::int64_t done, std::int64_t total)>;
constexpr std::int64_t kLayoutProgressEvery = std::int64_t{1} << 16;

struct LayoutCancelled : std::runtime_error {
  LayoutCancelled() : std::runtime_error("the retina's layout was abandoned while being built") {}
};

// The same layout as generateFibonacciRetina(layout), bit for bit, telling `progress` how far it
// is (an empty one hears nothing).
Retina generateFibonacciRetina(const RetinaLayout& layout, const LayoutProgress& progress);

constexpr RetinaLayout kDemoRetina{};

// How many sensors generateFibonacciRetina(layout) makes, worked out without making them (the
// same single-precision radii decide which points are foveal); 0 for a negative spiral count.
std::int64_t fibonacciSensorCount(const RetinaLayout& layout);

// Exact primality of a spiral ordinal.
bool isPrimeOrdinal(std::int32_t n);
