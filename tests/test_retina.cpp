#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "retina/color_response.h"
#include "retina/fibonacci_retina.h"
#include "retina/sensor.h"
#include "retina/sensor_mapping.h"

namespace {

using Position = std::pair<std::int32_t, std::int32_t>;

struct Generated {
  Retina retina;
};

Generated generate(std::int32_t spiralCount, std::int32_t diameter, std::int32_t fovealRadius,
                   std::int32_t fovealSatellites, std::int32_t peripheralSatellites) {
  return {generateFibonacciRetina(spiralCount, diameter, fovealRadius, fovealSatellites,
                                  peripheralSatellites)};
}

// The retina the program runs with; built once for all tests that inspect it.
const Generated& applicationRetina() {
  static const Generated generated = {generateFibonacciRetina(kDemoRetina)};
  return generated;
}

// Index of the spiral sensor of spiral point n (from 1) in the application's retina: points
// 1..255 carry 12 satellites, the rest 6.
std::size_t spiralSensorIndex(int n) {
  return n <= 255 ? 13 * (n - 1) : 3315 + 7 * (n - 256);
}

std::vector<std::size_t> spiralIndices(const Retina& retina) {
  std::vector<std::size_t> indices;
  for (std::size_t i = 0; i < retina.sensors.size(); ++i) {
    if (retina.sensors[i].isSpiral) indices.push_back(i);
  }
  return indices;
}

void expectSensor(const Sensor& s, ColorClass colorClass, std::int32_t x, std::int32_t y,
                  bool isSpiral, bool isPrime) {
  EXPECT_EQ(s.colorClass, colorClass) << "sensor " << s.index;
  EXPECT_EQ(s.x, x) << "sensor " << s.index;
  EXPECT_EQ(s.y, y) << "sensor " << s.index;
  EXPECT_EQ(s.isSpiral, isSpiral) << "sensor " << s.index;
  EXPECT_EQ(s.isPrime, isPrime) << "sensor " << s.index;
}

// ---------------------------------------------------------------------------------------------
// Layout with the program's own arguments

TEST(ApplicationRetina, CountAndLandmarkSensors) {
  const Generated& g = applicationRetina();
  const std::vector<Sensor>& s = g.retina.sensors;
  ASSERT_EQ(s.size(), 30202u);

  expectSensor(s[0], ColorClass::albastru, -378, 346, true, false);  // spiral ordinal 1
  expectSensor(s[1], ColorClass::rosu, -375, 346, false, false);
  expectSensor(s[2], ColorClass::verde, -376, 347, false, false);
  expectSensor(s[13], ColorClass::albastru, 63, -721, true, true);  // spiral ordinal 2
  EXPECT_EQ(s[30201].colorClass, ColorClass::alb_negru);
  EXPECT_FALSE(s[30201].isSpiral);
  EXPECT_FALSE(s[30201].isPrime);

  for (std::size_t i = 0; i < s.size(); ++i) {
    ASSERT_EQ(s[i].index, static_cast<std::int32_t>(i));
  }
}

TEST(ApplicationRetina, ClustersAndPrimeMarks) {
  const std::vector<Sensor>& s = applicationRetina().retina.sensors;
  const std::vector<std::size_t> spirals = spiralIndices(applicationRetina().retina);
  ASSERT_EQ(spirals.size(), 4096u);
  for (int n = 1; n <= 4096; ++n) {
    ASSERT_EQ(spirals[n - 1], spiralSensorIndex(n)) << "spiral point " << n;
  }

  int primes = 0, centralPrimes = 0;
  for (int n = 1; n <= 4096; ++n) {
    const Sensor& spiral = s[spirals[n - 1]];
    EXPECT_EQ(spiral.colorClass, ColorClass::albastru);
    if (spiral.isPrime) {
      ++primes;
      if (n <= 255) ++centralPrimes;
    }
  }
  EXPECT_EQ(primes, 564);
  EXPECT_EQ(centralPrimes, 54);
  for (const Sensor& sensor : s) {
    if (!sensor.isSpiral) {
      EXPECT_FALSE(sensor.isPrime) << "satellite " << sensor.index;
    }
  }
}

TEST(ApplicationRetina, SpiralPositionsDistinctAndSatelliteRings) {
  // Offsets of satellite k from its spiral sensor, retina units.
  const std::vector<Position> ring12 = {{3, 0},  {2, 1},   {1, 2},   {0, 3},  {-1, 2}, {-2, 1},
                                        {-3, 0}, {-2, -1}, {-1, -2}, {0, -3}, {1, -2}, {2, -1}};
  const std::vector<Position> ring6 = {{3, 0}, {1, 2}, {-1, 2}, {-3, 0}, {-1, -2}, {1, -2}};

  const std::vector<Sensor>& s = applicationRetina().retina.sensors;
  std::set<Position> spiralPositions;
  for (int n = 1; n <= 4096; ++n) {
    const std::size_t at = spiralSensorIndex(n);
    const Sensor& spiral = s[at];
    spiralPositions.insert({spiral.x, spiral.y});
    const bool central = n <= 255;
    const std::vector<Position>& ring = central ? ring12 : ring6;
    for (std::size_t k = 0; k < ring.size(); ++k) {
      const Sensor& sat = s[at + 1 + k];
      ASSERT_FALSE(sat.isSpiral) << "sensor " << sat.index;
      EXPECT_EQ(sat.x - spiral.x, ring[k].first) << "point " << n << " satellite " << k;
      EXPECT_EQ(sat.y - spiral.y, ring[k].second) << "point " << n << " satellite " << k;
      const ColorClass expected =
          !central ? ColorClass::alb_negru : (k % 2 == 0 ? ColorClass::rosu : ColorClass::verde);
      EXPECT_EQ(sat.colorClass, expected) << "point " << n << " satellite " << k;
    }
  }
  EXPECT_EQ(spiralPositions.size(), 4096u);
}

TEST(ApplicationRetina, DoesNotDrawRandomNumbers) {
  // The program's layout, and a dense one whose points collide and random-walk apart.
  for (const auto& [points, diameter] : std::vector<Position>{{4096, 65536}, {400, 24}}) {
    constexpr int kDraws = 8;
    std::srand(1);
    generate(points, diameter, 8192, 12, 6);
    std::vector<int> afterLayout(kDraws);
    for (int& v : afterLayout)
      v = std::rand();

    std::srand(1);
    for (int i = 0; i < kDraws; ++i)
      EXPECT_EQ(afterLayout[i], std::rand()) << "diameter " << diameter << ", draw " << i;
  }
}

// ---------------------------------------------------------------------------------------------
// Small and degenerate arguments. With 16 points and diameter 6400 the radial step is 800 units,
// so spiral point n lies at radius 800 * sqrt(n): point 4 at exactly 1600.

TEST(RetinaLayout, EmptyAndNegativeSpiralCounts) {
  const Generated empty = generate(0, 65536, 8192, 12, 6);
  EXPECT_TRUE(empty.retina.sensors.empty());
  EXPECT_THROW(generateFibonacciRetina(-1, 65536, 8192, 12, 6), std::length_error);
}

TEST(RetinaLayout, ZeroDiameterRandomWalksToDistinctPositions) {
  const Generated g = generate(50, 0, 0, 0, 0);
  ASSERT_EQ(g.retina.sensors.size(), 50u);
  expectSensor(g.retina.sensors[0], ColorClass::albastru, 0, 0, true, false);
  std::set<Position> positions;
  for (const Sensor& s : g.retina.sensors) {
    EXPECT_TRUE(s.isSpiral);
    positions.insert({s.x, s.y});
  }
  EXPECT_EQ(positions.size(), 50u);
}

TEST(RetinaLayout, DenseLayoutsAreTheSameWhateverWasDrawnBefore) {
  // A host (a test, a script) may seed and draw from rand() between two layouts: collided points
  // must still walk to the same places, pairwise distinct.
  for (const auto& [points, diameter] : std::vector<Position>{{50, 0}, {400, 24}, {4096, 73}}) {
    const Generated first = generate(points, diameter, diameter / 4, 4, 2);
    std::srand(12345);
    for (int i = 0; i < 7; ++i)
      std::rand();
    const Generated second = generate(points, diameter, diameter / 4, 4, 2);
    ASSERT_EQ(first.retina.sensors.size(), second.retina.sensors.size());
    std::set<Position> spiral;
    for (std::size_t i = 0; i < first.retina.sensors.size(); ++i) {
      const Sensor& a = first.retina.sensors[i];
      const Sensor& b = second.retina.sensors[i];
      ASSERT_TRUE(a.x == b.x && a.y == b.y) << points << " points, sensor " << i;
      if (a.isSpiral) spiral.insert({a.x, a.y});
    }
    EXPECT_EQ(spiral.size(), static_cast<std::size_t>(points)) << points << " points";
  }
}

TEST(RetinaLayout, ProgressIsHeardInOrderAndAStopAbandonsTheBuildWithoutChangingTheLayout) {
  // Fewer points than one report's steps, just over, and several reports' worth, dense (collided
  // points walk) and sparse.
  const std::vector<RetinaLayout> layouts{
      {100, 6400, 1600, 4, 2}, {40000, 65536, 8192, 12, 6}, {150000, 800, 200, 3, 1}};
  for (const RetinaLayout& layout : layouts) {
    SCOPED_TRACE(std::to_string(layout.spiralCount) + " points over " +
                 std::to_string(layout.diameter));
    const std::int64_t total = 2 * std::int64_t{layout.spiralCount};
    std::vector<std::int64_t> heard;
    const Retina reported =
        generateFibonacciRetina(layout, [&](std::int64_t done, std::int64_t of) {
          EXPECT_EQ(of, total);
          heard.push_back(done);
          return true;
        });
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back(), total);
    EXPECT_EQ(heard.size(), static_cast<std::size_t>(total / kLayoutProgressEvery +
                                                     (total % kLayoutProgressEvery != 0)));
    EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));

    const Retina plain = generateFibonacciRetina(layout);
    ASSERT_EQ(reported.sensors.size(), plain.sensors.size());
    for (std::size_t i = 0; i < plain.sensors.size(); ++i) {
      const Sensor& a = plain.sensors[i];
      const Sensor& b = reported.sensors[i];
      ASSERT_TRUE(a.index == b.index && a.x == b.x && a.y == b.y && a.colorClass == b.colorClass &&
                  a.isPrime == b.isPrime && a.isSpiral == b.isSpiral)
          << "sensor " << i;
    }

    // Answered false at its first report, the build goes no further.
    int reports = 0;
    EXPECT_THROW(generateFibonacciRetina(layout,
                                         [&](std::int64_t, std::int64_t) {
                                           ++reports;
                                           return false;
                                         }),
                 LayoutCancelled);
    EXPECT_EQ(reports, 1);
  }
}

TEST(RetinaLayout, SensorCountIsKnownWithoutGenerating) {
  // Foveal radii below, on and above points' radii (16 points over 6400 units: point n at
  // 800 sqrt(n)), none or all points foveal, and the program's layout.
  const std::vector<RetinaLayout> layouts{
      {16, 6400, 1600, 4, 2},       {16, 6400, 801, 4, 2},      {16, 6400, 800, 4, 2},
      {16, 6400, 6401, 4, 2},       {1000, 65536, 0, 12, 6},    {1000, 65536, 40000, 12, 6},
      {4096, 65536, 8192, 12, 6},   {4096, 65536, 8192, 0, 30}, {0, 65536, 8192, 12, 6},
      {70000, 400000, 123456, 7, 5}};
  for (const RetinaLayout& layout : layouts) {
    EXPECT_EQ(fibonacciSensorCount(layout),
              static_cast<std::int64_t>(generateFibonacciRetina(layout).sensors.size()))
        << layout.spiralCount << " points, foveal radius " << layout.fovealRadius;
  }
}

TEST(RetinaLayout, SatelliteRadiusSetsTheRing) {
  RetinaLayout layout{1, 2, 10, 4, 0, 10.0f};
  const std::vector<Sensor> s = generateFibonacciRetina(layout).sensors;
  ASSERT_EQ(s.size(), 5u);
  // cosf and sinf of quarter turns leave a few millionths, which the truncation drops.
  const std::vector<Position> ring{{10, 0}, {0, 10}, {-10, 0}, {0, -10}};
  for (std::size_t k = 0; k < ring.size(); ++k) {
    EXPECT_EQ(s[k + 1].x - s[0].x, ring[k].first) << k;
    EXPECT_EQ(s[k + 1].y - s[0].y, ring[k].second) << k;
  }
}

TEST(RetinaLayout, CentralDiscIsStrictlyInsideFovealRadius) {
  // fovealRadius equal to the radius of point 1: nothing is central.
  const Generated none = generate(16, 6400, 800, 4, 2);
  ASSERT_EQ(none.retina.sensors.size(), 16u + 16u * 2u);
  for (const Sensor& s : none.retina.sensors) {
    if (!s.isSpiral) {
      EXPECT_EQ(s.colorClass, ColorClass::alb_negru) << "sensor " << s.index;
    }
  }
  EXPECT_EQ(generate(16, 6400, 801, 4, 2).retina.sensors.size(), 16u + 4u + 15u * 2u);

  // Points 1..3 lie below 1600, point 4 exactly on it and is peripheral.
  const Generated edge = generate(16, 6400, 1600, 4, 2);
  const std::vector<Sensor>& s = edge.retina.sensors;
  ASSERT_EQ(s.size(), 16u + 3u * 4u + 13u * 2u);
  EXPECT_EQ(s[14].colorClass, ColorClass::verde);  // last satellite of point 3
  EXPECT_TRUE(s[15].isSpiral);                     // point 4
  EXPECT_EQ(s[16].colorClass, ColorClass::alb_negru);
  EXPECT_EQ(s[17].colorClass, ColorClass::alb_negru);
  EXPECT_TRUE(s[18].isSpiral);
}

TEST(RetinaLayout, ZeroOrNegativeSatelliteCountsGiveNoSatellites) {
  for (const auto& [foveal, peripheral] : std::vector<Position>{{0, -1}, {-5, 0}, {-1, -1}}) {
    const Generated g = generate(16, 6400, 1600, foveal, peripheral);
    ASSERT_EQ(g.retina.sensors.size(), 16u) << foveal << ", " << peripheral;
    for (const Sensor& s : g.retina.sensors)
      EXPECT_TRUE(s.isSpiral);
  }
  // Only the peripheral points lose their ring.
  EXPECT_EQ(generate(16, 6400, 1600, 4, 0).retina.sensors.size(), 16u + 3u * 4u);
}

TEST(RetinaLayout, PrimalityOfOrdinalsIsExact) {
  const std::set<int> primesTo100 = {2,  3,  5,  7,  11, 13, 17, 19, 23, 29, 31, 37, 41,
                                     43, 47, 53, 59, 61, 67, 71, 73, 79, 83, 89, 97};
  for (int n = -3; n <= 100; ++n) {
    EXPECT_EQ(isPrimeOrdinal(n), primesTo100.count(n) == 1) << n;
  }
  EXPECT_TRUE(isPrimeOrdinal(7919));
  EXPECT_FALSE(isPrimeOrdinal(7921));  // 89 * 89
  EXPECT_FALSE(isPrimeOrdinal(4087));  // 61 * 67
  EXPECT_TRUE(isPrimeOrdinal(2147483647));
}

// ---------------------------------------------------------------------------------------------
// Sensor-to-pixel mapping

Sensor at(std::int32_t x, std::int32_t y) {
  Sensor s;
  s.x = x;
  s.y = y;
  return s;
}

cv::Point sensorPixel(const Sensor& sensor, int cx, int cy, float retinaScale) {
  return cv::Point(cx, cy) + sensorOffset(sensor, retinaScale);
}

TEST(SensorMapping, TruncatesTowardZeroBeforeAddingTheCenter) {
  // 0.1 px per unit: +-7 units are +-0.7 px and both stay on the centre's column and row.
  EXPECT_EQ(sensorPixel(at(-7, 7), 640, 360, 0.1f), cv::Point(640, 360));
  EXPECT_EQ(sensorPixel(at(7, -7), 640, 360, 0.1f), cv::Point(640, 360));
  EXPECT_EQ(sensorPixel(at(-15, 15), 640, 360, 0.1f), cv::Point(639, 361));
  EXPECT_EQ(sensorPixel(at(-7, -7), 0, 0, 0.1f), cv::Point(0, 0));
}

TEST(SensorMapping, ApplicationScaleOnA1280x720Frame) {
  const float scale = 360.0f / 32768.0f;
  const cv::Mat frame(720, 1280, CV_8UC3);
  EXPECT_EQ(sensorPixel(at(32768, 0), 640, 360, scale), cv::Point(1000, 360));
  EXPECT_EQ(sensorPixel(at(-1000, 500), 640, 360, scale), cv::Point(630, 365));
  for (int x = -91; x <= 91; ++x) {
    EXPECT_EQ(sensorPixel(at(x, 0), 640, 360, scale).x, 640) << x;
  }
  EXPECT_EQ(sensorPixel(at(92, 0), 640, 360, scale).x, 641);

  const cv::Point bottom = sensorPixel(at(0, 32768), 640, 360, scale);
  EXPECT_EQ(bottom, cv::Point(640, 720));
  EXPECT_FALSE(insideFrame(bottom, frame));
  EXPECT_TRUE(insideFrame(sensorPixel(at(0, -32768), 640, 360, scale), frame));  // row 0
  EXPECT_TRUE(insideFrame({0, 0}, frame));
  EXPECT_TRUE(insideFrame({1279, 719}, frame));
  EXPECT_FALSE(insideFrame({1280, 0}, frame));
  EXPECT_FALSE(insideFrame({-1, 0}, frame));
  EXPECT_FALSE(insideFrame({0, -1}, frame));
}

TEST(SensorMapping, PackedRecordsCarryOffsetClassAndFlagsOrRefuse) {
  const std::vector<Sensor> sensors = {
      {0, 100, -200, ColorClass::albastru, true, true},  // prime spiral
      {1, -3, 4, ColorClass::rosu, true, false},         // prime flag without spiral: not prime
      {2, 32767, -32768, ColorClass::alb_negru, false, false}};
  const SensorOffsets offsets = {{7, -8}, {-32768, 32767}, {0, 0}};
  const PackedSensors packed = packSensors(sensors, offsets);
  ASSERT_EQ(packed.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(packedOffset(packed[i]), offsets[i]) << i;
    EXPECT_EQ(packed[i].colorClass, sensors[i].colorClass) << i;
    EXPECT_EQ(packed[i].primeSpiral, isPrimeSpiral(sensors[i])) << i;
  }
  EXPECT_TRUE(packed[0].primeSpiral);
  EXPECT_FALSE(packed[1].primeSpiral);

  // What cannot be packed is refused.
  EXPECT_TRUE(packSensors(sensors, {{0, 0}, {32768, 0}, {0, 0}}).empty());
  EXPECT_TRUE(packSensors(sensors, {{0, 0}, {0, -32769}, {0, 0}}).empty());
  EXPECT_TRUE(packSensors(sensors, {{0, 0}, {0, 0}}).empty());
  std::vector<Sensor> renumbered = sensors;
  renumbered[2].index = 5;
  EXPECT_TRUE(packSensors(renumbered, offsets).empty());
}

}  // namespace

TEST(ColorResponse, TablesHoldExactlyTheSinglePrecisionQuotients) {
  // The compile-time tables must give what a division per sensor would.
  for (int b = 0; b < 256; ++b) {
    const std::uint8_t bgr[3] = {static_cast<std::uint8_t>(b), 0, 0};
    ASSERT_EQ(colorResponse(ColorClass::albastru, bgr), static_cast<float>(b) / 255.0f) << b;
  }
  for (int sum = 0; sum <= 765; ++sum) {
    const std::uint8_t bgr[3] = {static_cast<std::uint8_t>(std::min(sum, 255)),
                                 static_cast<std::uint8_t>(std::clamp(sum - 255, 0, 255)),
                                 static_cast<std::uint8_t>(std::max(sum - 510, 0))};
    ASSERT_EQ(meanIntensity(bgr), static_cast<float>(sum) / 765.0f) << sum;
    ASSERT_EQ(colorResponse(static_cast<ColorClass>(9), bgr), static_cast<float>(sum) / 765.0f);
  }
}
