#include "retina/fibonacci_retina.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

constexpr float kTwoPi = 6.2831855f;
// The collision walk's seed. Any constant will do; this one is std::mt19937's own default. The
// engine's output sequence is fixed by the C++ standard, so it is the same with every library.
constexpr std::mt19937::result_type kWalkSeed = 5489u;

struct SpiralPoint {
  float radius;
  float angle;  // radians, deliberately not reduced to one turn: cosf/sinf see n * golden angle
};

// Everything below is single precision in exactly this order, so that the layout (and with it
// every sensor position) is the same wherever it is built.
float radialStep(std::int32_t spiralCount, std::int32_t diameter) {
  return (static_cast<float>(diameter) * 0.5f) / sqrtf(static_cast<float>(spiralCount));
}

float spiralRadius(std::int32_t n, float step) {
  return sqrtf(static_cast<float>(n)) * step;
}

// Whether a spiral point at `radius` carries the foveal satellites.
bool isFoveal(std::int32_t fovealRadius, float radius) {
  return static_cast<float>(fovealRadius) > radius;
}

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

namespace {

// Tells `progress` that `done` of `total` steps are done, on every kLayoutProgressEvery-th step
// and the last; throws LayoutCancelled when it answers false.
void reportLayout(const LayoutProgress& progress, std::int64_t done, std::int64_t total) {
  if (!progress || (done % kLayoutProgressEvery != 0 && done != total)) return;
  if (!progress(done, total)) throw LayoutCancelled();
}

// Placement: a point that rounds onto an occupied position random-walks until it is free, so
// spiral positions are pairwise distinct even for a degenerate diameter. The walk draws on a
// source of its own, never on std::rand, so that neither the layout nor anyone else's random
// numbers depend on what was drawn before. Steps 1 to spiral.size() of the build.
std::vector<std::pair<std::int32_t, std::int32_t>> placeSpiralPoints(
    const std::vector<SpiralPoint>& spiral, const LayoutProgress& progress) {
  const auto total = 2 * static_cast<std::int64_t>(spiral.size());
  std::mt19937 walk(kWalkSeed);
  std::vector<std::pair<std::int32_t, std::int32_t>> positions(spiral.size());
  // Positions as (x, y) packed in 64 bits; only whether one is taken matters.
  std::unordered_set<std::uint64_t> occupied;
  occupied.reserve(spiral.size());
  const auto key = [](std::int32_t x, std::int32_t y) {
    return (std::uint64_t{static_cast<std::uint32_t>(x)} << 32) | static_cast<std::uint32_t>(y);
  };
  for (std::size_t i = 0; i < spiral.size(); ++i) {
    const SpiralPoint& p = spiral[i];
    std::int32_t x = static_cast<std::int32_t>(roundf(cosf(p.angle) * p.radius));
    std::int32_t y = static_cast<std::int32_t>(roundf(sinf(p.angle) * p.radius));
    while (occupied.count(key(x, y)) != 0) {
      x += static_cast<std::int32_t>(walk() % 3) - 1;
      y += static_cast<std::int32_t>(walk() % 3) - 1;
    }
    occupied.insert(key(x, y));
    positions[i] = {x, y};
    reportLayout(progress, static_cast<std::int64_t>(i) + 1, total);
  }
  return positions;
}

}  // namespace

Retina generateFibonacciRetina(const RetinaLayout& layout, const LayoutProgress& progress) {
  const std::int32_t spiralCount = layout.spiralCount;
  if (spiralCount < 0) throw std::length_error("generateFibonacciRetina: negative spiralCount");

  const float step = radialStep(spiralCount, layout.diameter);
  const float phi = (sqrtf(5.0f) + 1.0f) * 0.5f;
  const float goldenAngle = (1.0f - 1.0f / phi) * kTwoPi;

  std::vector<SpiralPoint> spiral(static_cast<std::size_t>(spiralCount));
  for (std::int32_t n = 1; n <= spiralCount; ++n) {
    spiral[n - 1] = {spiralRadius(n, step), static_cast<float>(n) * goldenAngle};
  }
  const std::vector<std::pair<std::int32_t, std::int32_t>> positions =
      placeSpiralPoints(spiral, progress);

  // Steps spiralCount + 1 to 2 * spiralCount: each point's sensor and its ring.
  const std::int64_t total = 2 * std::int64_t{spiralCount};
  Retina retina;
  std::int32_t counter = 0;
  for (std::int32_t n = 1; n <= spiralCount; ++n) {
    const auto [cx, cy] = positions[n - 1];
    const bool central = isFoveal(layout.fovealRadius, spiral[n - 1].radius);
    retina.sensors.push_back({counter++, cx, cy, ColorClass::albastru, isPrimeOrdinal(n), true});

    const std::int32_t satellites = central ? layout.fovealSatellites : layout.peripheralSatellites;
    for (std::int32_t k = 0; k < satellites; ++k) {
      const float alpha = (static_cast<float>(k) * kTwoPi) / static_cast<float>(satellites);
      const std::int32_t dx = static_cast<std::int32_t>(cosf(alpha) * layout.satelliteRadius);
      const std::int32_t dy = static_cast<std::int32_t>(sinf(alpha) * layout.satelliteRadius);
      const ColorClass colorClass =
          !central ? ColorClass::alb_negru : (k % 2 == 0 ? ColorClass::rosu : ColorClass::verde);
      retina.sensors.push_back({counter++, cx + dx, cy + dy, colorClass, false, false});
    }
    reportLayout(progress, std::int64_t{spiralCount} + n, total);
  }

  return retina;
}

Retina generateFibonacciRetina(std::int32_t spiralCount, std::int32_t diameter,
                               std::int32_t fovealRadius, std::int32_t fovealSatellites,
                               std::int32_t peripheralSatellites, float satelliteRadius) {
  return generateFibonacciRetina({spiralCount, diameter, fovealRadius, fovealSatellites,
                                  peripheralSatellites, satelliteRadius},
                                 {});
}

std::int64_t fibonacciSensorCount(const RetinaLayout& layout) {
  const std::int32_t n = layout.spiralCount;
  if (n <= 0) return 0;
  // The radius changes monotonically with the ordinal, so the foveal points are a run at one end:
  // find where it ends by bisection instead of visiting every point.
  const float step = radialStep(n, layout.diameter);
  const auto foveal = [&](std::int32_t k) {
    return isFoveal(layout.fovealRadius, spiralRadius(k, step));
  };
  const bool first = foveal(1);
  std::int64_t fovealPoints = first ? n : 0;
  if (foveal(n) != first) {
    std::int32_t same = 1, other = n;  // foveal(same) == first, foveal(other) != first
    while (other - same > 1) {
      const std::int32_t mid = same + (other - same) / 2;
      (foveal(mid) == first ? same : other) = mid;
    }
    fovealPoints = first ? same : n - same;
  }
  const std::int64_t fovealRing = std::max(layout.fovealSatellites, 0);
  const std::int64_t peripheralRing = std::max(layout.peripheralSatellites, 0);
  return n + fovealPoints * fovealRing + (n - fovealPoints) * peripheralRing;
}
