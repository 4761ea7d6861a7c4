#include "display/fovea.h"

#include <algorithm>

#include "retina/color_response.h"

namespace {

std::int32_t clampToMargin(std::int32_t value, std::int32_t extent, std::int32_t margin) {
  if (value > extent - margin) return extent - margin;
  if (value < margin) return margin;
  return value;
}

}  // namespace

void updateFoveaCenter(const cv::Mat& frame, const PackedSensors& sensors, FoveaCenter& center,
                       const std::vector<float>& konioSnapshot, const FoveaParameters& fovea) {
  const float primeSpiralWeight = fovea.primeSpiralWeight, konioWeight = fovea.konioWeight;
  // Weights are single precision per sensor; the sums run in double so thirty thousand terms
  // lose nothing.
  double sumW = 0.0, sumX = 0.0, sumY = 0.0;
  const cv::Size frameSize = frame.size();
  const std::size_t konioCount = konioSnapshot.size();
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    const cv::Point offset = packedOffset(sensors[i]);
    const cv::Point pixel(center.cx + offset.x, center.cy + offset.y);
    if (!insideFrame(pixel, frameSize)) continue;
    const std::uint8_t* bgr = frame.ptr<std::uint8_t>(pixel.y) + 3 * pixel.x;
    float w = meanIntensity(bgr);  // (b + g + r) / 765, in [0, 1]
    if (sensors[i].primeSpiral) w = w * primeSpiralWeight;
    if (i < konioCount) w = w + konioWeight * konioSnapshot[i];
    sumX += static_cast<float>(pixel.x) * w;
    sumY += static_cast<float>(pixel.y) * w;
    sumW += w;
  }
  if (!(sumW > 0.0)) return;

  const double meanX = sumX / sumW;
  const double meanY = sumY / sumW;
  const double step = fovea.stepFraction;  // 0.3f widens to 0.30000001192092896
  const auto cx = static_cast<std::int32_t>((frame.cols * 0.5 - meanX) * step + center.cx);
  const auto cy = static_cast<std::int32_t>((frame.rows * 0.5 - meanY) * step + center.cy);
  center.cx = clampToMargin(cx, frame.cols, fovea.margin);
  center.cy = clampToMargin(cy, frame.rows, fovea.margin);
}
