#pragma once

#include <cstdint>
#include <iostream>

#include "retina/sensor.h"

// Lays `spiralCount` spiral points on a golden-angle spiral whose last point lies at radius
// `diameter` / 2 (retina units), puts a blue spiral sensor on every point and rings each point
// with satellites 3 units away: `fovealSatellites` red/green ones around points whose radius is
// below `fovealRadius`, `peripheralSatellites` black-and-white ones around the others (0 or
// fewer: none). Writes "Generati <count> senzori." to `out`.
// Throws std::length_error for a negative `spiralCount`.
Retina generateFibonacciRetina(std::int32_t spiralCount, std::int32_t diameter,
                               std::int32_t fovealRadius, std::int32_t fovealSatellites,
                               std::int32_t peripheralSatellites, std::ostream& out = std::cout);

// Exact primality of a spiral ordinal.
bool isPrimeOrdinal(std::int32_t n);
