#include "display/overlay.h"

#include <string>

#include <opencv2/imgproc.hpp>

namespace {

constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
const cv::Scalar kYellow(0, 255, 255);
const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kLightGrey(200, 200, 200);

constexpr int kMarkerRadius = 8;
constexpr int kMarkerThickness = 2;
const cv::Point kMarkerLabelOffset(10, -5);
constexpr double kTitleScale = 0.6;
constexpr int kTitleThickness = 2;
constexpr double kTextScale = 0.5;
const char* const kMarkerLabel = "Centru fovea";
const char* const kTitle = "Retina Fibonacci + Konio + TRN";
const char* const kKeyHelp = "Apasa 'r' reset centru, ESC iesire";
const char* const kLegend =
    "Inhibitie TRN: culoare inchisa = gain scazut; contur rosu = gain < 0.2";
constexpr int kFrameTimesKept = 1000;  // milliseconds 0 to 999

// OpenCV clips a line's end points to the image before drawing it, which can move the pixels it
// draws inside: a stamp stands in for it only where every pixel stays this far from the edges
// (the outline's points lie within half a pixel of the pixels drawn on them).
constexpr int kEdgeMargin = 2;

bool wellInside(const cv::Rect& box, const cv::Mat& canvas) {
  return box.x >= kEdgeMargin && box.y >= kEdgeMargin &&
         box.x + box.width + kEdgeMargin <= canvas.cols &&
         box.y + box.height + kEdgeMargin <= canvas.rows;
}

std::string frameTimeText(std::int32_t frameTimeMs) {
  return "Frame time: " + std::to_string(frameTimeMs) + " ms";
}

// Draws `stamp` at `origin`; where the canvas edge comes near it, cv::putText draws `text()`
// instead. The text is built only then: a std::string on every frame would allocate.
template <class Text>
void drawText(cv::Mat& canvas, const TextStamp& stamp, const Text& text, cv::Point origin,
              double scale, const cv::Scalar& color, int thickness) {
  if (wellInside(stamp.box + origin, canvas)) {
    drawStamp(canvas, stamp.pixels, origin, stampColor(color));
  } else {
    cv::putText(canvas, text(), origin, kFont, scale, color, thickness, cv::LINE_8, false);
  }
}

const TextStamp& frameTimeStamp(OverlayStamps& stamps, std::int32_t frameTimeMs,
                                TextStamp& uncached) {
  if (frameTimeMs < 0 || frameTimeMs >= kFrameTimesKept) {
    uncached = traceText(frameTimeText(frameTimeMs), kTextScale, 1);
    return uncached;
  }
  if (stamps.frameTimes.empty()) stamps.frameTimes.resize(kFrameTimesKept);
  TextStamp& stamp = stamps.frameTimes[static_cast<std::size_t>(frameTimeMs)];
  if (stamp.pixels.spans.empty()) stamp = traceText(frameTimeText(frameTimeMs), kTextScale, 1);
  return stamp;
}

}  // namespace

TextStamp traceText(const std::string& text, double scale, int thickness) {
  int baseline = 0;
  const cv::Size size = cv::getTextSize(text, kFont, scale, thickness, &baseline);
  // Glyphs may reach past the measured box; the margin grows until no pixel comes near the edge,
  // so that nothing of the text was clipped.
  for (int margin = 4 + thickness;; margin *= 2) {
    cv::Mat scratch(size.height + baseline + 2 * margin, size.width + 2 * margin, CV_8UC1,
                    cv::Scalar(0));
    const cv::Point origin(margin, margin + size.height);
    cv::putText(scratch, text, origin, kFont, scale, cv::Scalar(255), thickness, cv::LINE_8, false);
    const cv::Rect box = cv::boundingRect(scratch);
    const cv::Rect inner(kEdgeMargin, kEdgeMargin, scratch.cols - 2 * kEdgeMargin,
                         scratch.rows - 2 * kEdgeMargin);
    if (box.empty() || (box & inner) == box) return {traceSpans(scratch, origin), box - origin};
  }
}

OverlayStamps::OverlayStamps()
    : markerRing(traceCircle(kMarkerRadius, kMarkerThickness)),
      markerLabel(traceText(kMarkerLabel, kTextScale, 1)),
      title(traceText(kTitle, kTitleScale, kTitleThickness)),
      keyHelp(traceText(kKeyHelp, kTextScale, 1)),
      legend(traceText(kLegend, kTextScale, 1)) {}

void drawFoveaMarker(cv::Mat& canvas, const FoveaCenter& center, OverlayStamps& stamps) {
  const cv::Point c(center.cx, center.cy);
  const int reach = stamps.markerRing.reach;
  if (wellInside(cv::Rect(c.x - reach, c.y - reach, 2 * reach + 1, 2 * reach + 1), canvas)) {
    drawStamp(canvas, stamps.markerRing, c, stampColor(kYellow));
  } else {
    cv::circle(canvas, c, kMarkerRadius, kYellow, kMarkerThickness, cv::LINE_8, 0);
  }
  drawText(
      canvas, stamps.markerLabel, [] { return kMarkerLabel; }, c + kMarkerLabelOffset, kTextScale,
      kYellow, 1);
}

void drawOverlayTexts(cv::Mat& canvas, std::int32_t frameTimeMs, OverlayStamps& stamps) {
  const int h = canvas.rows;
  drawText(
      canvas, stamps.title, [] { return kTitle; }, {10, 30}, kTitleScale, kYellow, kTitleThickness);
  TextStamp uncached;
  const TextStamp& frameTime = frameTimeStamp(stamps, frameTimeMs, uncached);
  drawText(
      canvas, frameTime, [frameTimeMs] { return frameTimeText(frameTimeMs); }, {10, 60}, kTextScale,
      kWhite, 1);
  drawText(
      canvas, stamps.keyHelp, [] { return kKeyHelp; }, {10, h - 10}, kTextScale, kWhite, 1);
  drawText(
      canvas, stamps.legend, [] { return kLegend; }, {10, h - 30}, kTextScale, kLightGrey, 1);
}
