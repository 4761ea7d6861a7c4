#include "frame_input/synthetic_scene.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace {

constexpr double kTwoPi = 6.283185307179586;

}  // namespace

SyntheticScene::SyntheticScene(cv::Size size) {
  // Dark blotches (coarse fixed-seed noise, enlarged with OpenCV's bit-exact bilinear resize so
  // that every machine draws the same frames) and a faint grid: texture for the
  // sensors, yet dim enough that the shapes decide where the fovea goes.
  cv::Mat coarse(std::max(1, size.height / 24), std::max(1, size.width / 24), CV_8UC3);
  cv::RNG rng(0x5EED);
  rng.fill(coarse, cv::RNG::UNIFORM, cv::Scalar::all(4), cv::Scalar::all(48));
  cv::resize(coarse, background_, size, 0, 0, cv::INTER_LINEAR_EXACT);
  const int step = std::max(8, std::min(size.width, size.height) / 12);
  for (int x = 0; x < size.width; x += step) {
    cv::line(background_, {x, 0}, {x, size.height - 1}, cv::Scalar::all(56), 1, cv::LINE_8);
  }
  for (int y = 0; y < size.height; y += step) {
    cv::line(background_, {0, y}, {size.width - 1, y}, cv::Scalar::all(56), 1, cv::LINE_8);
  }
}

void SyntheticScene::render(std::int64_t frameIndex, cv::Mat& frame) const {
  background_.copyTo(frame);
  const double w = frame.cols, h = frame.rows, unit = std::min(w, h);
  const double phase = kTwoPi * static_cast<double>(frameIndex % kSceneLoopFrames) /
                       static_cast<double>(kSceneLoopFrames);
  auto at = [&](double fx, double fy) {
    return cv::Point(static_cast<int>(std::lround(fx * w)), static_cast<int>(std::lround(fy * h)));
  };
  auto radius = [&](double f) { return std::max(1, static_cast<int>(std::lround(f * unit))); };

  // A warm white sun on a figure-of-eight, the brightest thing in the scene.
  cv::circle(frame, at(0.5 + 0.2 * std::sin(phase), 0.5 + 0.18 * std::sin(2.0 * phase)),
             radius(0.14), cv::Scalar(200, 245, 255), cv::FILLED, cv::LINE_8);
  // A red bar sweeping left and right along the lower third.
  const cv::Point bar = at(0.5 + 0.22 * std::cos(phase), 0.7);
  cv::rectangle(frame, bar - cv::Point(radius(0.1), radius(0.05)),
                bar + cv::Point(radius(0.1), radius(0.05)), cv::Scalar(40, 40, 235), cv::FILLED);
  // A green disc and a blue square circling the middle in opposite directions.
  cv::circle(frame, at(0.5 + 0.16 * std::cos(-phase), 0.45 + 0.16 * std::sin(-phase)), radius(0.07),
             cv::Scalar(60, 230, 60), cv::FILLED, cv::LINE_8);
  const cv::Point square =
      at(0.5 + 0.22 * std::cos(phase + 2.0), 0.5 + 0.22 * std::sin(phase + 2.0));
  cv::rectangle(frame, square - cv::Point(radius(0.06), radius(0.06)),
                square + cv::Point(radius(0.06), radius(0.06)), cv::Scalar(240, 90, 40),
                cv::FILLED);
}
