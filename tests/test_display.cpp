#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "display/fovea.h"
#include "display/overlay.h"
#include "display/render.h"
#include "retina/fibonacci_retina.h"
#include "retina/sensor.h"

namespace {

// The sensors placed at `scale` and packed, as the frame loop reads them.
PackedSensors packedAt(const std::vector<Sensor>& sensors, float scale) {
  const PackedSensors packed = packSensors(sensors, placeSensors(sensors, scale));
  EXPECT_EQ(packed.size(), sensors.size()) << "sensors that cannot be packed";
  return packed;
}

// All rendering and fovea calls go through these two: they place the sensors at `scale` as the
// frame loop does, and render with the hidden discs left out, as the frame loop does.
void render(const cv::Mat& frame, const std::vector<Sensor>& sensors, cv::Point center, float scale,
            cv::Mat& canvas, const std::vector<float>& gains = {},
            const DrawingParameters& drawing = {}) {
  renderRetina(frame, discRecords(packedAt(sensors, scale)), center.x, center.y, canvas, gains,
               drawing);
}

cv::Point moveFovea(const cv::Mat& frame, const std::vector<Sensor>& sensors, cv::Point center,
                    float scale = 1.0f, const std::vector<float>& konio = {},
                    const FoveaParameters& fovea = {}) {
  FoveaCenter c;
  c.cx = center.x;
  c.cy = center.y;
  updateFoveaCenter(frame, packedAt(sensors, scale), c, konio, fovea);
  return {c.cx, c.cy};
}

// A sensor that lands on `pixel` when the centre is `centre` at one pixel per retina unit.
Sensor sensorAt(std::int32_t index, cv::Point pixel, cv::Point center,
                ColorClass colorClass = ColorClass::alb_negru, bool isSpiral = false,
                bool isPrime = false) {
  Sensor s;
  s.index = index;
  s.x = pixel.x - center.x;
  s.y = pixel.y - center.y;
  s.colorClass = colorClass;
  s.isSpiral = isSpiral;
  s.isPrime = isPrime;
  return s;
}

cv::Mat blackImage(int cols, int rows) {
  return cv::Mat::zeros(rows, cols, CV_8UC3);
}

cv::Mat uniformImage(int cols, int rows, cv::Scalar bgr) {
  return cv::Mat(rows, cols, CV_8UC3, bgr);
}

void disc(cv::Mat& img, cv::Point c, int radius, cv::Scalar bgr) {
  cv::circle(img, c, radius, bgr, cv::FILLED, cv::LINE_8, 0);
}

void ring(cv::Mat& img, cv::Point c, int radius, cv::Scalar bgr) {
  cv::circle(img, c, radius, bgr, 1, cv::LINE_8, 0);
}

const cv::Scalar kYellow(0, 255, 255);
const cv::Scalar kRed(0, 0, 255);
const cv::Scalar kWhite(255, 255, 255);

::testing::AssertionResult sameImage(const cv::Mat& actual, const cv::Mat& expected) {
  if (actual.size() != expected.size() || actual.type() != expected.type()) {
    return ::testing::AssertionFailure() << "size/type " << actual.size() << "/" << actual.type()
                                         << " vs " << expected.size() << "/" << expected.type();
  }
  cv::Mat diff;
  cv::absdiff(actual, expected, diff);
  const int differing = cv::countNonZero(diff.reshape(1));
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differing << " differing bytes";
}

// ---------------------------------------------------------------------------------------------
// Rendering (one pixel per retina unit unless stated; centre of a 20x20 frame is (10, 10))

const cv::Point kMid(10, 10);

TEST(RenderRetina, WorkedExamplesAndFrameUntouched) {
  cv::Mat frame = blackImage(20, 20);
  frame.at<cv::Vec3b>(5, 5) = {10, 20, 200};
  frame.at<cv::Vec3b>(5, 14) = {30, 60, 90};
  const cv::Mat original = frame.clone();
  const std::vector<Sensor> sensors = {
      sensorAt(0, {5, 5}, kMid, ColorClass::rosu),
      sensorAt(1, {14, 5}, kMid, ColorClass::alb_negru),
      sensorAt(2, {10, 14}, kMid, ColorClass::albastru, true, true),
  };
  cv::Mat canvas;
  render(frame, sensors, kMid, 1.0f, canvas, {0.5f, 1.0f, 0.1f});

  cv::Mat expected = blackImage(20, 20);
  disc(expected, {5, 5}, 2, {0, 0, 100});
  disc(expected, {14, 5}, 2, {60, 60, 60});
  disc(expected, {10, 14}, 3, kYellow);
  ring(expected, {10, 14}, 4, kRed);
  EXPECT_TRUE(sameImage(canvas, expected));
  EXPECT_TRUE(sameImage(frame, original));
}

TEST(RenderRetina, CanvasIsClearedToTheFrameSize) {
  const cv::Mat frame = blackImage(20, 10);
  cv::Mat canvas = uniformImage(40, 30, kWhite);
  render(frame, {}, kMid, 1.0f, canvas);
  EXPECT_TRUE(sameImage(canvas, blackImage(20, 10)));

  // Same size as the frame: last frame's drawing must not survive either.
  canvas.setTo(kWhite);
  render(frame, {}, kMid, 1.0f, canvas);
  EXPECT_TRUE(sameImage(canvas, blackImage(20, 10)));
}

TEST(RenderRetina, DrawsOnlySensorsInsideTheFrame) {
  const cv::Mat frame = uniformImage(20, 20, kWhite);
  auto drawnAlone = [&](cv::Point pixel) {
    cv::Mat canvas;
    render(frame, {sensorAt(0, pixel, kMid)}, kMid, 1.0f, canvas);
    return canvas;
  };
  // A disc at column 20 or row 20 would still reach into the image, so nothing means skipped.
  for (cv::Point outside :
       {cv::Point(20, 10), cv::Point(10, 20), cv::Point(-1, 10), cv::Point(10, -1)}) {
    EXPECT_TRUE(sameImage(drawnAlone(outside), blackImage(20, 20))) << outside;
  }
  for (cv::Point edge : {cv::Point(0, 10), cv::Point(10, 0), cv::Point(19, 19)}) {
    cv::Mat expected = blackImage(20, 20);
    disc(expected, edge, 2, kWhite);
    EXPECT_TRUE(sameImage(drawnAlone(edge), expected)) << edge;
  }

  // Through the scale: 0.5 px per unit, offsets truncated toward zero.
  Sensor left, right, beyond, near;
  right.index = 1;
  beyond.index = 2;
  near.index = 3;
  left.x = -3;    // -1.5 px -> column 9
  right.x = 19;   // 9.5 px -> column 19
  beyond.x = 20;  // column 20, skipped
  near.x = -1;    // -0.5 px -> column 10
  near.y = 41;    // 20.5 px -> row 30, skipped
  cv::Mat canvas;
  render(frame, {left, right, beyond, near}, kMid, 0.5f, canvas);
  cv::Mat expected = blackImage(20, 20);
  disc(expected, {9, 10}, 2, kWhite);
  disc(expected, {19, 10}, 2, kWhite);
  EXPECT_TRUE(sameImage(canvas, expected));
}

TEST(RenderRetina, RingOnlyBelowThreshold) {
  // Over a black pixel the disc is black, so only a ring can show.
  const cv::Mat frame = blackImage(20, 20);
  const std::vector<Sensor> one = {sensorAt(0, kMid, kMid)};
  cv::Mat canvas;
  render(frame, one, kMid, 1.0f, canvas, {0.2f});
  EXPECT_TRUE(sameImage(canvas, blackImage(20, 20)));

  render(frame, one, kMid, 1.0f, canvas, {0.19f});
  cv::Mat expected = blackImage(20, 20);
  ring(expected, kMid, 3, kRed);
  EXPECT_TRUE(sameImage(canvas, expected));

  // Another threshold rings another gain.
  DrawingParameters drawing;
  drawing.lowGainThreshold = 0.5f;
  render(frame, one, kMid, 1.0f, canvas, {0.49f}, drawing);
  EXPECT_TRUE(sameImage(canvas, expected));
  render(frame, one, kMid, 1.0f, canvas, {0.5f}, drawing);
  EXPECT_TRUE(sameImage(canvas, blackImage(20, 20)));
}

TEST(RenderRetina, PrimeSpiralSensorsAreYellowWhateverPixelAndGain) {
  const cv::Mat black = blackImage(20, 20);
  const std::vector<Sensor> prime = {sensorAt(0, kMid, kMid, ColorClass::albastru, true, true)};
  cv::Mat canvas;
  cv::Mat expected = blackImage(20, 20);
  disc(expected, kMid, 3, kYellow);
  render(black, prime, kMid, 1.0f, canvas);
  EXPECT_TRUE(sameImage(canvas, expected));
  render(black, prime, kMid, 1.0f, canvas, {1.0f});
  EXPECT_TRUE(sameImage(canvas, expected));

  render(black, prime, kMid, 1.0f, canvas, {0.05f});
  ring(expected, kMid, 4, kRed);
  EXPECT_TRUE(sameImage(canvas, expected));

  // Only both marks together single a sensor out: each one alone draws the usual blue disc.
  const cv::Mat blue = uniformImage(20, 20, {200, 0, 0});
  expected = blackImage(20, 20);
  disc(expected, kMid, 2, {200, 0, 0});
  for (const auto& [isSpiral, isPrime] : {std::pair{true, false}, std::pair{false, true}}) {
    render(blue, {sensorAt(0, kMid, kMid, ColorClass::albastru, isSpiral, isPrime)}, kMid, 1.0f,
           canvas);
    EXPECT_TRUE(sameImage(canvas, expected)) << isSpiral << isPrime;
  }
}

TEST(RenderRetina, EachClassReadsItsChannelOtherwiseTheMean) {
  const cv::Mat frame = uniformImage(20, 20, {30, 60, 90});
  struct Case {
    ColorClass colorClass;
    cv::Scalar drawn;
  };
  const Case cases[] = {
      {ColorClass::albastru, {30, 0, 0}},
      {ColorClass::verde, {0, 60, 0}},
      {ColorClass::rosu, {0, 0, 90}},
      {ColorClass::alb_negru, {60, 60, 60}},
      {static_cast<ColorClass>(4), {60, 60, 60}},
      {static_cast<ColorClass>(200), {60, 60, 60}},
      {static_cast<ColorClass>(7), {60, 60, 60}},
  };
  for (const Case& c : cases) {
    cv::Mat canvas;
    render(frame, {sensorAt(0, kMid, kMid, c.colorClass)}, kMid, 1.0f, canvas);
    cv::Mat expected = blackImage(20, 20);
    disc(expected, kMid, 2, c.drawn);
    EXPECT_TRUE(sameImage(canvas, expected)) << "class " << static_cast<int>(c.colorClass);
  }
}

TEST(RenderRetina, GainsBeyondTheSnapshotCountAsOne) {
  const cv::Mat frame = uniformImage(20, 20, {0, 0, 200});
  const std::vector<Sensor> sensors = {sensorAt(0, {5, 10}, kMid, ColorClass::rosu),
                                       sensorAt(1, {14, 10}, kMid, ColorClass::rosu)};
  cv::Mat canvas;
  render(frame, sensors, kMid, 1.0f, canvas, {0.1f});
  cv::Mat expected = blackImage(20, 20);
  disc(expected, {5, 10}, 2, {0, 0, 20});
  ring(expected, {5, 10}, 3, kRed);
  disc(expected, {14, 10}, 2, {0, 0, 200});
  EXPECT_TRUE(sameImage(canvas, expected));

  render(frame, sensors, kMid, 1.0f, canvas, {});
  expected = blackImage(20, 20);
  disc(expected, {5, 10}, 2, {0, 0, 200});
  disc(expected, {14, 10}, 2, {0, 0, 200});
  EXPECT_TRUE(sameImage(canvas, expected));
}

TEST(RenderRetina, LaterSensorsCoverEarlierOnes) {
  const cv::Mat frame = uniformImage(20, 20, {30, 60, 90});
  const Sensor red = sensorAt(0, {11, 10}, kMid, ColorClass::rosu);
  const Sensor lowGain = sensorAt(1, {12, 10}, kMid, ColorClass::albastru);
  const Sensor green = sensorAt(2, {9, 10}, kMid, ColorClass::verde);
  // Drawn in order red, lowGain, green: each disc covers what lies under it, a sensor's own
  // ring goes over its disc, and the next sensor's disc over that ring.
  cv::Mat canvas;
  render(frame, {red, lowGain, green}, kMid, 1.0f, canvas, {1.0f, 0.1f, 1.0f});
  cv::Mat expected = blackImage(20, 20);
  disc(expected, {11, 10}, 2, {0, 0, 90});
  disc(expected, {12, 10}, 2, {3, 0, 0});  // blue 30 at gain 0.1
  ring(expected, {12, 10}, 3, kRed);
  disc(expected, {9, 10}, 2, {0, 60, 0});
  EXPECT_TRUE(sameImage(canvas, expected));
}

// ---------------------------------------------------------------------------------------------
// Fovea centre update (one pixel per retina unit unless stated)

TEST(FoveaUpdate, WorkedExampleTruncatesAfterTheStep) {
  cv::Mat frame = blackImage(1280, 720);
  frame.at<cv::Vec3b>(360, 700) = {255, 255, 255};
  const cv::Point center(640, 360);
  // Over black pixels the other sensors weigh nothing: the centroid is (700, 360) exactly.
  const std::vector<Sensor> sensors = {sensorAt(0, {600, 300}, center),
                                       sensorAt(1, {700, 360}, center),
                                       sensorAt(2, {640, 360}, center)};
  EXPECT_EQ(moveFovea(frame, sensors, center), cv::Point(621, 360));
}

TEST(FoveaUpdate, NoWeightLeavesTheCenterUnclamped) {
  const cv::Mat black = blackImage(1280, 720);
  const cv::Point corner(5, 5);
  const std::vector<Sensor> sensors = {sensorAt(0, {5, 5}, corner), sensorAt(1, {50, 5}, corner)};
  EXPECT_EQ(moveFovea(black, sensors, corner, 1.0f, {0.0f, 0.0f}), corner);
  EXPECT_EQ(moveFovea(black, {}, corner), corner);

  // On a white frame, but every sensor off the frame.
  const cv::Mat white = uniformImage(1280, 720, kWhite);
  const std::vector<Sensor> offFrame = {sensorAt(0, {-1, 5}, corner),
                                        sensorAt(1, {5, 720}, corner)};
  EXPECT_EQ(moveFovea(white, offFrame, corner, 1.0f, {1.0f, 1.0f}), corner);
}

TEST(FoveaUpdate, UniformGreyFrameDriftsTowardTheMiddle) {
  const Retina retina = generateFibonacciRetina(kDemoRetina);
  const cv::Mat grey = uniformImage(1280, 720, cv::Scalar::all(128));
  const float scale = 360.0f / 32768.0f;
  cv::Point center(400, 360);
  for (int frameNo = 0; frameNo < 4; ++frameNo) {
    const cv::Point next = moveFovea(grey, retina.sensors, center, scale);
    const double expectedX = center.x + 0.3 * (640 - center.x);
    EXPECT_NEAR(next.x, expectedX, 2.0) << "frame " << frameNo;
    EXPECT_NEAR(next.y, 360, 1.0) << "frame " << frameNo;
    center = next;
  }
}

TEST(FoveaUpdate, SubPixelStepsTruncateTowardZero) {
  cv::Mat frame = blackImage(1280, 720);
  const cv::Point center(640, 360);
  frame.at<cv::Vec3b>(360, 637) = {255, 255, 255};
  frame.at<cv::Vec3b>(360, 640) = {255, 255, 255};
  frame.at<cv::Vec3b>(360, 641) = {255, 255, 255};

  // Centroid 637: step +0.9 px, lost.
  EXPECT_EQ(moveFovea(frame, {sensorAt(0, {637, 360}, center)}, center), cv::Point(640, 360));

  // Centroid (640 + 2 * 641) / 3: step -0.2 px, one pixel left.
  const std::vector<Sensor> sensors = {sensorAt(0, {640, 360}, center),
                                       sensorAt(1, {641, 360}, center),
                                       sensorAt(2, {641, 360}, center)};
  EXPECT_EQ(moveFovea(frame, sensors, center), cv::Point(639, 360));
}

TEST(FoveaUpdate, ClampsToTheMarginUpperBoundFirst) {
  const cv::Mat white = uniformImage(1280, 720, kWhite);
  // Centroid at the far opposite corner pulls the centre past the margin.
  const cv::Point nearRight(1170, 600);
  EXPECT_EQ(moveFovea(white, {sensorAt(0, {0, 0}, nearRight)}, nearRight), cv::Point(1180, 620));
  const cv::Point nearLeft(150, 150);
  EXPECT_EQ(moveFovea(white, {sensorAt(0, {1279, 719}, nearLeft)}, nearLeft), cv::Point(100, 100));

  // 150 px wide: the bounds cross at 50 and 100. A centroid on the middle column (75) keeps
  // the column, which then meets the bounds.
  const cv::Mat narrow = uniformImage(150, 300, kWhite);
  auto clampedColumn = [&](int cx) {
    const cv::Point center(cx, 150);
    return moveFovea(narrow, {sensorAt(0, {75, 150}, center)}, center).x;
  };
  EXPECT_EQ(clampedColumn(75), 50);
  EXPECT_EQ(clampedColumn(51), 50);
  EXPECT_EQ(clampedColumn(50), 100);
  EXPECT_EQ(clampedColumn(40), 100);
}

// The weight tests place the centre off the middle and choose weights that put the centroid on
// the frame's middle (640, 360) exactly: the step is then 0 and the centre stays where it is.
// Any other weighting shifts the centroid and moves the centre.
const cv::Point kOffMiddle(600, 300);

TEST(FoveaUpdate, PrimeSpiralSensorsWeighFive) {
  cv::Mat frame = blackImage(1280, 720);
  frame.at<cv::Vec3b>(360, 630) = {255, 255, 255};
  frame.at<cv::Vec3b>(360, 690) = {255, 255, 255};
  auto withMarks = [&](bool isSpiral, bool isPrime) {
    return std::vector<Sensor>{
        sensorAt(0, {630, 360}, kOffMiddle, ColorClass::albastru, isSpiral, isPrime),
        sensorAt(1, {690, 360}, kOffMiddle)};
  };
  // (5 * 630 + 690) / 6 = 640.
  EXPECT_EQ(moveFovea(frame, withMarks(true, true), kOffMiddle).x, kOffMiddle.x);
  EXPECT_LT(moveFovea(frame, withMarks(true, false), kOffMiddle).x, kOffMiddle.x);
  EXPECT_LT(moveFovea(frame, withMarks(false, true), kOffMiddle).x, kOffMiddle.x);
}

TEST(FoveaUpdate, KonioActivityAddsTwiceItsValue) {
  cv::Mat frame = blackImage(1280, 720);
  frame.at<cv::Vec3b>(360, 620) = {255, 255, 255};
  // White at 620 weighs 1; black at 680 with activity 0.25 weighs 0.5: (620 + 0.5 * 680) / 1.5.
  const std::vector<Sensor> sensors = {sensorAt(0, {620, 360}, kOffMiddle),
                                       sensorAt(1, {680, 360}, kOffMiddle)};
  EXPECT_EQ(moveFovea(frame, sensors, kOffMiddle, 1.0f, {0.0f, 0.25f}).x, kOffMiddle.x);
  EXPECT_GT(moveFovea(frame, sensors, kOffMiddle, 1.0f, {0.0f, 0.0f}).x, kOffMiddle.x);

  // A Konio-only weight also moves the centre on an otherwise black frame.
  const cv::Mat black = blackImage(1280, 720);
  const cv::Point konioOnly = moveFovea(black, sensors, kOffMiddle, 1.0f, {0.0f, 0.4f});
  EXPECT_LT(konioOnly.x, kOffMiddle.x);
  EXPECT_EQ(konioOnly.y, kOffMiddle.y);
}

TEST(FoveaUpdate, ParametersSetStepMarginAndWeights) {
  cv::Mat frame = blackImage(1280, 720);
  frame.at<cv::Vec3b>(360, 700) = {255, 255, 255};
  frame.at<cv::Vec3b>(360, 620) = {255, 255, 255};
  const cv::Point center(640, 360);
  const std::vector<Sensor> bright = {sensorAt(0, {700, 360}, center)};
  // A prime spiral sensor at 620 weighing 2 and one at 680 weighing 1 balance on the middle, as
  // do a white one at 620 and a black one at 680 with activity 0.125 weighed by 4.
  const std::vector<Sensor> prime = {
      sensorAt(0, {620, 360}, kOffMiddle, ColorClass::albastru, true, true),
      sensorAt(1, {680, 360}, kOffMiddle)};
  frame.at<cv::Vec3b>(360, 680) = {255, 255, 255};
  cv::Mat konioFrame = blackImage(1280, 720);
  konioFrame.at<cv::Vec3b>(360, 620) = {255, 255, 255};
  const std::vector<Sensor> konio = {sensorAt(0, {620, 360}, kOffMiddle),
                                     sensorAt(1, {680, 360}, kOffMiddle)};
  const cv::Mat white = uniformImage(1280, 720, kWhite);
  const std::vector<Sensor> farCorner = {sensorAt(0, {1279, 719}, {150, 150})};
  struct Case {
    const char* what;
    const cv::Mat& frame;
    const std::vector<Sensor>& sensors;
    cv::Point center;
    std::vector<float> konio;
    FoveaParameters fovea;
    cv::Point expected;
  };
  FoveaParameters wholeStep, margin20, primeTwo, konioFour;
  wholeStep.stepFraction = 1.0f;
  margin20.margin = 20;
  primeTwo.primeSpiralWeight = 2.0f;
  konioFour.konioWeight = 4.0f;
  const std::vector<Case> cases{
      {"the whole offset", frame, bright, center, {}, wholeStep, {580, 360}},
      {"a margin of 20", white, farCorner, {150, 150}, {}, margin20, {20, 42}},
      {"prime spiral weight 2", frame, prime, kOffMiddle, {}, primeTwo, kOffMiddle},
      {"Konio weight 4", konioFrame, konio, kOffMiddle, {0.0f, 0.125f}, konioFour, kOffMiddle},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(moveFovea(c.frame, c.sensors, c.center, 1.0f, c.konio, c.fovea), c.expected)
        << c.what;
    // The defaults move it elsewhere: the parameter made the difference.
    EXPECT_NE(moveFovea(c.frame, c.sensors, c.center, 1.0f, c.konio), c.expected) << c.what;
  }
}

TEST(FoveaUpdate, SensorsBeyondTheKonioSnapshotWeighByBrightnessAlone) {
  cv::Mat frame = blackImage(1280, 720);
  frame.at<cv::Vec3b>(360, 600) = {255, 255, 255};
  // Sensor 0: black, activity 0.5 -> weight 1. Sensor 1: white, no entry -> weight 1.
  const std::vector<Sensor> sensors = {sensorAt(0, {680, 360}, kOffMiddle),
                                       sensorAt(1, {600, 360}, kOffMiddle)};
  // The slot just past the end holds a large activity; reading it would pull the centroid.
  std::vector<float> konio = {0.5f, 9.0f};
  konio.pop_back();
  EXPECT_EQ(moveFovea(frame, sensors, kOffMiddle, 1.0f, konio).x, kOffMiddle.x);
}

TEST(FoveaUpdate, EdgeColumnsAndRows) {
  const cv::Mat white = uniformImage(1280, 720, kWhite);
  // Column 0 and row 0 count: (0 + 2 * 960 + 3 * 640) / 6 = 640, (3 * 360 + 0 + 2 * 540) / 6 =
  // 360. Column 1280 and row 720 would move the centroid if they counted.
  const std::vector<Sensor> sensors = {
      sensorAt(0, {0, 360}, kOffMiddle),    sensorAt(1, {960, 360}, kOffMiddle),
      sensorAt(2, {960, 360}, kOffMiddle),  sensorAt(3, {640, 0}, kOffMiddle),
      sensorAt(4, {640, 540}, kOffMiddle),  sensorAt(5, {640, 540}, kOffMiddle),
      sensorAt(6, {1280, 360}, kOffMiddle), sensorAt(7, {640, 720}, kOffMiddle),
  };
  EXPECT_EQ(moveFovea(white, sensors, kOffMiddle), kOffMiddle);
}

// ---------------------------------------------------------------------------------------------
// Fovea marker and overlay texts

void text(cv::Mat& img, const std::string& s, cv::Point origin, double scale, cv::Scalar bgr,
          int thickness) {
  cv::putText(img, s, origin, cv::FONT_HERSHEY_SIMPLEX, scale, bgr, thickness, cv::LINE_8, false);
}

TEST(Overlay, FoveaMarkerIsARingWithItsLabel) {
  cv::Mat canvas = blackImage(300, 200);
  OverlayStamps stamps;
  drawFoveaMarker(canvas, FoveaCenter{120, 90}, stamps);
  cv::Mat expected = blackImage(300, 200);
  cv::circle(expected, {120, 90}, 8, kYellow, 2, cv::LINE_8, 0);
  text(expected, "Centru fovea", {130, 85}, 0.5, kYellow, 1);
  EXPECT_TRUE(sameImage(canvas, expected));
}

TEST(Overlay, TextsSitAtTheirOrigins) {
  const cv::Scalar lightGrey(200, 200, 200);
  // Key help and legend baselines given per canvas height: 10 and 30 px above the bottom edge.
  auto expectedTexts = [&](int rows, const std::string& frameTime, int keyRow, int legendRow) {
    cv::Mat img = blackImage(1280, rows);
    text(img, "Retina Fibonacci + Konio + TRN", {10, 30}, 0.6, kYellow, 2);
    text(img, frameTime, {10, 60}, 0.5, kWhite, 1);
    text(img, "Apasa 'r' reset centru, ESC iesire", {10, keyRow}, 0.5, kWhite, 1);
    text(img, "Inhibitie TRN: culoare inchisa = gain scazut; contur rosu = gain < 0.2",
         {10, legendRow}, 0.5, lightGrey, 1);
    return img;
  };

  OverlayStamps stamps;
  cv::Mat canvas = blackImage(1280, 720);
  drawOverlayTexts(canvas, 0, stamps);
  EXPECT_TRUE(sameImage(canvas, expectedTexts(720, "Frame time: 0 ms", 710, 690)));

  canvas = blackImage(1280, 400);
  drawOverlayTexts(canvas, -7, stamps);
  EXPECT_TRUE(sameImage(canvas, expectedTexts(400, "Frame time: -7 ms", 390, 370)));
}

TEST(Overlay, KeptStampsDrawWhatCvDrawsOnAnyCanvasAndNearEveryEdge) {
  // One set of stamps for every canvas and frame, as a session keeps it; marker centres on, near
  // and beyond the edges, where the shapes are clipped.
  OverlayStamps stamps;
  const cv::Scalar lightGrey(200, 200, 200);
  for (const cv::Size size : {cv::Size(1280, 720), cv::Size(200, 150), cv::Size(40, 30)}) {
    std::vector<int> xs{size.width / 2}, ys{size.height / 2};
    for (int d : {-40, -12, -9, -1, 0, 2, 11}) {
      xs.insert(xs.end(), {d, size.width - 1 - d});
      ys.insert(ys.end(), {d, size.height - 1 - d});
    }
    for (const int frameTimeMs : {0, 33, 999, 1000, -7}) {
      cv::Mat canvas = blackImage(size.width, size.height);
      drawOverlayTexts(canvas, frameTimeMs, stamps);
      cv::Mat expected = blackImage(size.width, size.height);
      text(expected, "Retina Fibonacci + Konio + TRN", {10, 30}, 0.6, kYellow, 2);
      text(expected, "Frame time: " + std::to_string(frameTimeMs) + " ms", {10, 60}, 0.5, kWhite,
           1);
      text(expected, "Apasa 'r' reset centru, ESC iesire", {10, size.height - 10}, 0.5, kWhite, 1);
      text(expected, "Inhibitie TRN: culoare inchisa = gain scazut; contur rosu = gain < 0.2",
           {10, size.height - 30}, 0.5, lightGrey, 1);
      ASSERT_TRUE(sameImage(canvas, expected)) << size << " frame time " << frameTimeMs;
    }
    for (const int x : xs) {
      for (const int y : ys) {
        cv::Mat canvas = blackImage(size.width, size.height);
        drawFoveaMarker(canvas, FoveaCenter{x, y}, stamps);
        cv::Mat expected = blackImage(size.width, size.height);
        cv::circle(expected, {x, y}, 8, kYellow, 2, cv::LINE_8, 0);
        text(expected, "Centru fovea", {x + 10, y - 5}, 0.5, kYellow, 1);
        ASSERT_TRUE(sameImage(canvas, expected)) << size << " centre " << cv::Point(x, y);
      }
    }
  }
}

}  // namespace
