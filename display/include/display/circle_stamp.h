#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// The spans of every non-zero pixel of the 8-bit single-channel `mask`, around `centre`: the
// same drawing machinery for any shape traced from OpenCV, text included.
CircleStamp traceSpans(const cv::Mat& mask, cv::Point center);

// Writes `bgr` into every pixel of `stamp` centred on `centre` that lies inside `canvas`
// (8-bit BGR). Inline: it runs for thousands of discs per frame.
inline void drawStamp(cv::Mat& canvas, const CircleStamp& stamp, cv::Point center,
                      const cv::Vec3b& bgr) {
  const int cols = canvas.cols, rows = canvas.rows;
  const std::size_t step = canvas.step;
  std::uint8_t* const data = canvas.data;
  const bool inside = center.x >= stamp.reach && center.x + stamp.reach < cols &&
                      center.y >= stamp.reach && center.y + stamp.reach < rows;
  // Every pixel but a span's last is written as four bytes, the fourth of which the next pixel
  // overwrites at once; the last pixel gets its three bytes alone, so nothing past the span is
  // touched.
  const std::uint8_t quad[4] = {bgr[0], bgr[1], bgr[2], 0};
  for (const CircleStamp::Span& span : stamp.spans) {
    const int y = center.y + span.dy;
    int x0 = center.x + span.dx0;
    int x1 = center.x + span.dx1;
    if (!inside) {
      if (y < 0 || y >= rows) continue;
      x0 = std::max(x0, 0);
      x1 = std::min(x1, cols - 1);
      if (x0 > x1) continue;
    }
    std::uint8_t* p = data + static_cast<std::size_t>(y) * step + 3 * static_cast<std::size_t>(x0);
    for (int x = x0; x < x1; ++x, p += 3)
      std::memcpy(p, quad, 4);
    p[0] = bgr[0];
    p[1] = bgr[1];
    p[2] = bgr[2];
  }
}

// The colour cv::circle writes for `color`: each channel rounded to nearest and saturated.
cv::Vec3b stampColor(const cv::Scalar& color);
