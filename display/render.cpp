#include "display/render.h"

#include <opencv2/imgproc.hpp>

#include "retina/sensor_mapping.h"

namespace {

constexpr int kDiscRadius = 2;                    // pixels
constexpr int kPrimeSpiralDiscRadius = 3;         // pixels
const cv::Scalar kPrimeSpiralColor(0, 255, 255);  // yellow, BGR
const cv::Scalar kLowGainRingColor(0, 0, 255);    // red, BGR

// The channel intensity (byte / 255) scaled back to 0..255, in single precision.
float channelLevel(std::uint8_t byte) {
  return static_cast<float>(byte) / 255.0f * 255.0f;
}

// BGR colour of a sensor's disc before the gain: the channel its class reads, or the mean.
cv::Vec3f baseColor(ColorClass colorClass, const std::uint8_t* bgr) {
  switch (colorClass) {
    case ColorClass::albastru:
      return {channelLevel(bgr[0]), 0.0f, 0.0f};
    case ColorClass::verde:
      return {0.0f, channelLevel(bgr[1]), 0.0f};
    case ColorClass::rosu:
      return {0.0f, 0.0f, channelLevel(bgr[2])};
    default: {
      const float mean = static_cast<float>(bgr[0] + bgr[1] + bgr[2]) / 765.0f * 255.0f;
      return {mean, mean, mean};
    }
  }
}

}  // namespace

void renderRetina(const cv::Mat& frame, const std::vector<Sensor>& sensors, std::int32_t cx,
                  std::int32_t cy, float retinaScale, cv::Mat& canvas,
                  const std::vector<float>& gainSnapshot) {
  canvas.create(frame.size(), CV_8UC3);
  canvas.setTo(cv::Scalar::all(0));

  for (const Sensor& sensor : sensors) {
    const cv::Point pixel = sensorPixel(sensor, cx, cy, retinaScale);
    if (!insideFrame(pixel, frame)) continue;

    const bool hasGain =
        sensor.index >= 0 && static_cast<std::size_t>(sensor.index) < gainSnapshot.size();
    const float gain = hasGain ? gainSnapshot[sensor.index] : 1.0f;

    int radius = kDiscRadius;
    cv::Scalar color;
    if (isPrimeSpiral(sensor)) {
      radius = kPrimeSpiralDiscRadius;
      color = kPrimeSpiralColor;
    } else {
      const cv::Vec3f base =
          baseColor(sensor.colorClass, frame.ptr<std::uint8_t>(pixel.y) + 3 * pixel.x);
      const double g = gain;
      color = cv::Scalar(base[0] * g, base[1] * g, base[2] * g);
    }
    cv::circle(canvas, pixel, radius, color, cv::FILLED, cv::LINE_8, 0);
    if (gain < kLowGainThreshold) {
      cv::circle(canvas, pixel, radius + 1, kLowGainRingColor, 1, cv::LINE_8, 0);
    }
  }
}
