#include "display/overlay.h"

#include <string>

#include <opencv2/imgproc.hpp>

namespace {

constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
const cv::Scalar kYellow(0, 255, 255);
const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kLightGrey(200, 200, 200);

void drawText(cv::Mat& canvas, const std::string& text, cv::Point origin, double scale,
              const cv::Scalar& color, int thickness) {
  cv::putText(canvas, text, origin, kFont, scale, color, thickness, cv::LINE_8, false);
}

}  // namespace

void drawFoveaMarker(cv::Mat& canvas, const FoveaCenter& center) {
  const cv::Point c(center.cx, center.cy);
  cv::circle(canvas, c, 8, kYellow, 2, cv::LINE_8, 0);
  drawText(canvas, "Centru fovea", c + cv::Point(10, -5), 0.5, kYellow, 1);
}

void drawOverlayTexts(cv::Mat& canvas, std::int32_t frameTimeMs) {
  const int h = canvas.rows;
  drawText(canvas, "Retina Fibonacci + Konio + TRN", {10, 30}, 0.6, kYellow, 2);
  drawText(canvas, "Frame time: " + std::to_string(frameTimeMs) + " ms", {10, 60}, 0.5, kWhite, 1);
  drawText(canvas, "Apasa 'r' reset centru, ESC iesire", {10, h - 10}, 0.5, kWhite, 1);
  drawText(canvas, "Inhibitie TRN: culoare inchisa = gain scazut; contur rosu = gain < 0.2",
           {10, h - 30}, 0.5, kLightGrey, 1);
}
