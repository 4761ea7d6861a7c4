#include "retina/fibonacci_retina.h"

#include <cmath>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr float kSatelliteRadius = 3.0f;  // retina units, not pixels

struct SpiralPoint {
  float radius;
  float angle;  // radians, deliberately not reduced to one turn: cosf/sinf see n * golden angle
};

}  // namespace

bool isPrimeOrdinal(std::int32_t n) {
  if (n < 2) return false;
  if (n == 2) return true;
  if (n % 2 == 0) return false;
  const std::int32_t limit = static_cast<std::int32_t>(std::sqrt(static_cast<double>(n))) + 1;
  for (std::int32_t k = 3; k <= limit; k += 2) {
    if (n % k == 0) return false;
  }
  return true;
}

Retina generateFibonacciRetina(std::int32_t spiralCount, std::int32_t diameter,
                               std::int32_t fovealRadius, std::int32_t fovealSatellites,
                               std::int32_t peripheralSatellites) {
  if (spiralCount < 0) throw std::length_error("generateFibonacciRetina: negative spiralCount");

  // Everything below is single precision in exactly this order, so that the layout (and with it
  // every sensor position) is the same wherever it is built.
  const float step = (static_cast<float>(diameter) * 0.5f) / sqrtf(static_cast<float>(spiralCount));
  const float phi = (sqrtf(5.0f) + 1.0f) * 0.5f;
  const float goldenAngle = (1.0f - 1.0f / phi) * kTwoPi;

  std::vector<SpiralPoint> spiral(static_cast<std::size_t>(spiralCount));
  for (std::int32_t n = 1; n <= spiralCount; ++n) {
    spiral[n - 1] = {sqrtf(static_cast<float>(n)) * step, static_cast<float>(n) * goldenAngle};
  }

  // Placement: a point that rounds onto an occupied position random-walks until it is free, so
  // spiral positions are pairwise distinct even for a degenerate diameter.
  std::vector<std::pair<std::int32_t, std::int32_t>> positions(spiral.size());
  std::set<std::pair<std::int32_t, std::int32_t>> occupied;
  for (std::size_t i = 0; i < spiral.size(); ++i) {
    const SpiralPoint& p = spiral[i];
    std::int32_t x = static_cast<std::int32_t>(roundf(cosf(p.angle) * p.radius));
    std::int32_t y = static_cast<std::int32_t>(roundf(sinf(p.angle) * p.radius));
    while (occupied.count({x, y}) != 0) {
      x += std::rand() % 3 - 1;
      y += std::rand() % 3 - 1;
    }
    occupied.insert({x, y});
    positions[i] = {x, y};
  }

  Retina retina;
  std::int32_t counter = 0;
  for (std::int32_t n = 1; n <= spiralCount; ++n) {
    const auto [cx, cy] = positions[n - 1];
    const bool central = static_cast<float>(fovealRadius) > spiral[n - 1].radius;
    retina.sensors.push_back({counter++, cx, cy, ColorClass::albastru, isPrimeOrdinal(n), true});

    const std::int32_t satellites = central ? fovealSatellites : peripheralSatellites;
    for (std::int32_t k = 0; k < satellites; ++k) {
      const float alpha = (static_cast<float>(k) * kTwoPi) / static_cast<float>(satellites);
      const std::int32_t dx = static_cast<std::int32_t>(cosf(alpha) * kSatelliteRadius);
      const std::int32_t dy = static_cast<std::int32_t>(sinf(alpha) * kSatelliteRadius);
      const ColorClass colorClass =
          !central ? ColorClass::alb_negru : (k % 2 == 0 ? ColorClass::rosu : ColorClass::verde);
      retina.sensors.push_back({counter++, cx + dx, cy + dy, colorClass, false, false});
    }
  }

  return retina;
}
