#pragma once

#include <vector>

#include <opencv2/core.hpp>

// A circle exactly as cv::circle draws it (line type 8, shift 0), kept as row spans around its
// centre. The spans are traced once from cv::circle itself; drawing them clips pixel by pixel at
// the image edges, which gives the same pixels as cv::circle for any centre, on or off the image.
struct CircleStamp {
  struct Span {
    int dy;   // row offset from the centre
    int dx0;  // first column offset, inclusive
    int dx1;  // last column offset, inclusive
  };
  std::vector<Span> spans;
  int reach = 0;  // largest |dx| or |dy| of any pixel
};

// `thickness` as for cv::circle: cv::FILLED (-1) for a disc, 1 for a ring.
CircleStamp traceCircle(int radius, int thickness);

// Writes `bgr` into every pixel of `stamp` centred on `centre` that lies inside `canvas`
// (8-bit BGR).
void drawStamp(cv::Mat& canvas, const CircleStamp& stamp, cv::Point centre, const cv::Vec3b& bgr);

// The colour cv::circle writes for `color`: each channel rounded to nearest and saturated.
cv::Vec3b toBgr(const cv::Scalar& color);
