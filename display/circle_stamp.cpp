#include "display/circle_stamp.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

CircleStamp traceCircle(int radius, int thickness) {
  const int half = radius + std::max(thickness, 1) + 2;
  cv::Mat scratch(2 * half + 1, 2 * half + 1, CV_8UC1, cv::Scalar(0));
  cv::circle(scratch, {half, half}, radius, cv::Scalar(255), thickness, cv::LINE_8, 0);

  CircleStamp stamp;
  for (int y = 0; y < scratch.rows; ++y) {
    const std::uint8_t* row = scratch.ptr<std::uint8_t>(y);
    for (int x = 0; x < scratch.cols; ++x) {
      if (row[x] == 0) continue;
      int end = x;
      while (end + 1 < scratch.cols && row[end + 1] != 0)
        ++end;
      stamp.spans.push_back({y - half, x - half, end - half});
      stamp.reach = std::max({stamp.reach, std::abs(y - half), half - x, end - half});
      x = end;
    }
  }
  return stamp;
}

void drawStamp(cv::Mat& canvas, const CircleStamp& stamp, cv::Point centre, const cv::Vec3b& bgr) {
  const bool inside = centre.x - stamp.reach >= 0 && centre.x + stamp.reach < canvas.cols &&
                      centre.y - stamp.reach >= 0 && centre.y + stamp.reach < canvas.rows;
  for (const CircleStamp::Span& span : stamp.spans) {
    const int y = centre.y + span.dy;
    int x0 = centre.x + span.dx0;
    int x1 = centre.x + span.dx1;
    if (!inside) {
      if (y < 0 || y >= canvas.rows) continue;
      x0 = std::max(x0, 0);
      x1 = std::min(x1, canvas.cols - 1);
    }
    std::uint8_t* p = canvas.ptr<std::uint8_t>(y) + 3 * x0;
    for (int x = x0; x <= x1; ++x, p += 3) {
      p[0] = bgr[0];
      p[1] = bgr[1];
      p[2] = bgr[2];
    }
  }
}

cv::Vec3b toBgr(const cv::Scalar& color) {
  return {cv::saturate_cast<std::uint8_t>(color[0]), cv::saturate_cast<std::uint8_t>(color[1]),
          cv::saturate_cast<std::uint8_t>(color[2])};
}
