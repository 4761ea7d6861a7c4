// The fast renderer against cv::circle: every stamp pixel for pixel, and the whole retina against
// a plain one-cv::circle-per-sensor rendering.

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "display/circle_stamp.h"
#include "display/render.h"
#include "retina/fibonacci_retina.h"

namespace {

struct Shape {
  int radius;
  int thickness;
};
constexpr Shape kShapes[] = {{2, cv::FILLED}, {3, cv::FILLED}, {3, 1}, {4, 1}};

// Centres on, just inside and beyond every edge and corner of a `size` canvas, and a few inside.
std::vector<cv::Point> edgeCenters(cv::Size size) {
  std::vector<int> xs, ys;
  for (int d = -6; d <= 6; ++d) {
    xs.push_back(d);
    xs.push_back(size.width - 1 + d);
    ys.push_back(d);
    ys.push_back(size.height - 1 + d);
  }
  xs.push_back(size.width / 2);
  ys.push_back(size.height / 2);
  std::vector<cv::Point> centers;
  for (int x : xs) {
    for (int y : ys)
      centers.emplace_back(x, y);
  }
  return centers;
}

}  // namespace

TEST(CircleStamp, MatchesCvCircleOnAndBeyondEveryEdge) {
  cv::RNG rng(7);
  for (const cv::Size size :
       {cv::Size(1, 1), cv::Size(3, 3), cv::Size(7, 5), cv::Size(64, 48), cv::Size(1280, 720)}) {
    cv::Mat background(size, CV_8UC3);
    rng.fill(background, cv::RNG::UNIFORM, 0, 256);
    cv::Mat expected = background.clone(), actual = background.clone();
    for (const Shape& shape : kShapes) {
      const CircleStamp stamp = traceCircle(shape.radius, shape.thickness);
      for (const cv::Point center : edgeCenters(size)) {
        // Colours as rendering makes them: a channel level times a gain, in double precision.
        const double gain = rng.uniform(0.0, 1.0);
        const cv::Scalar color(rng.uniform(0, 256) * gain, rng.uniform(0, 256) * gain,
                               rng.uniform(0, 256) * gain);
        cv::circle(expected, center, shape.radius, color, shape.thickness, cv::LINE_8, 0);
        drawStamp(actual, stamp, center, stampColor(color));
        // The whole canvas is compared, so a stray write anywhere shows.
        ASSERT_EQ(cv::norm(expected, actual, cv::NORM_INF), 0.0)
            << "radius " << shape.radius << " thickness " << shape.thickness << " centre " << center
            << " canvas " << size;
        const cv::Rect touched =
            cv::Rect(center - cv::Point(8, 8), cv::Size(17, 17)) & cv::Rect(cv::Point(0, 0), size);
        background(touched).copyTo(expected(touched));
        background(touched).copyTo(actual(touched));
      }
    }
  }
}

TEST(CircleStamp, RoundsColoursLikeCvCircle) {
  // Halves, values past 255 and below 0 convert exactly as the drawing routine converts them.
  for (double v : {0.5, 1.5, 2.5, 100.49, 100.5, 254.5, 255.4, 300.0, -3.0}) {
    cv::Mat expected(1, 1, CV_8UC3, cv::Scalar::all(9)), actual = expected.clone();
    cv::circle(expected, {0, 0}, 2, cv::Scalar(v, v, v), cv::FILLED, cv::LINE_8, 0);
    drawStamp(actual, traceCircle(2, cv::FILLED), {0, 0}, stampColor(cv::Scalar(v, v, v)));
    EXPECT_EQ(expected.at<cv::Vec3b>(0, 0), actual.at<cv::Vec3b>(0, 0)) << v;
  }
}

// The plain way to draw the retina: one cv::circle per disc and ring, every sensor, in order.
cv::Mat renderWithCvCircle(const cv::Mat& frame, const std::vector<Sensor>& sensors,
                           const SensorOffsets& offsets, cv::Point center,
                           const std::vector<float>& gains) {
  cv::Mat canvas = cv::Mat::zeros(frame.size(), CV_8UC3);
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    const cv::Point p = center + offsets[i];
    if (p.x < 0 || p.x >= frame.cols || p.y < 0 || p.y >= frame.rows) continue;
    const Sensor& s = sensors[i];
    const float gain = static_cast<std::size_t>(s.index) < gains.size() ? gains[s.index] : 1.0f;
    const cv::Vec3b px = frame.at<cv::Vec3b>(p);
    const float mean = static_cast<float>(px[0] + px[1] + px[2]) / 765.0f * 255.0f;
    cv::Scalar color(mean, mean, mean);
    if (s.colorClass == ColorClass::albastru) color = cv::Scalar(px[0], 0, 0);
    if (s.colorClass == ColorClass::verde) color = cv::Scalar(0, px[1], 0);
    if (s.colorClass == ColorClass::rosu) color = cv::Scalar(0, 0, px[2]);
    color *= static_cast<double>(gain);
    const bool prime = s.isSpiral && s.isPrime;
    cv::circle(canvas, p, prime ? 3 : 2, prime ? cv::Scalar(0, 255, 255) : color, cv::FILLED,
               cv::LINE_8, 0);
    if (gain < 0.2f) cv::circle(canvas, p, prime ? 4 : 3, cv::Scalar(0, 0, 255), 1, cv::LINE_8, 0);
  }
  return canvas;
}

TEST(RenderRetina, WholeRetinaMatchesOneCvCirclePerSensor) {
  const Retina retina = generateFibonacciRetina(kDemoRetina);
  cv::RNG rng(11);
  for (const cv::Size size : {cv::Size(1280, 720), cv::Size(320, 200), cv::Size(37, 23)}) {
    cv::Mat frame(size, CV_8UC3);
    rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
    std::vector<float> gains(retina.sensors.size());
    for (float& g : gains)
      g = rng.uniform(0.0f, 1.0f);  // about a fifth below 0.2
    const float scale = static_cast<float>(std::min(size.width, size.height) / 2) / 32768.0f;
    const SensorOffsets offsets = placeSensors(retina.sensors, scale);
    const DiscRecords discs = discRecords(packSensors(retina.sensors, offsets));
    for (const cv::Point center : {cv::Point(size.width / 2, size.height / 2), cv::Point(3, 2),
                                   cv::Point(size.width - 2, size.height + 5)}) {
      cv::Mat canvas;
      renderRetina(frame, discs, center.x, center.y, canvas, gains);
      const cv::Mat expected = renderWithCvCircle(frame, retina.sensors, offsets, center, gains);
      ASSERT_EQ(cv::norm(expected, canvas, cv::NORM_INF), 0.0) << size << " centre " << center;
    }
  }
}

TEST(RenderRetina, OnlyDiscsCoveredByALaterDiscAsLargeAreHidden) {
  const Retina retina = generateFibonacciRetina(kDemoRetina);
  const SensorOffsets offsets = placeSensors(retina.sensors, 360.0f / 32768.0f);
  const HiddenDiscs hidden = findHiddenDiscs(packSensors(retina.sensors, offsets));
  ASSERT_EQ(hidden.size(), retina.sensors.size());
  EXPECT_FALSE(hidden.back());  // nothing is drawn after the last sensor
  std::size_t count = 0;
  for (std::size_t i = 0; i < hidden.size(); ++i) {
    if (!hidden[i]) continue;
    ++count;
    // A hidden disc has a later sensor on its pixel with a disc at least as large.
    const Sensor& s = retina.sensors[i];
    bool covered = false;
    for (std::size_t j = i + 1; j < retina.sensors.size() && !covered; ++j) {
      const bool larger = retina.sensors[j].isSpiral && retina.sensors[j].isPrime;
      covered = offsets[j] == offsets[i] && (larger || !(s.isSpiral && s.isPrime));
    }
    ASSERT_TRUE(covered) << i;
  }
  // Most satellites share their spiral sensor's pixel at 720 rows.
  EXPECT_GT(count, retina.sensors.size() / 2);
}
