#include "display/circle_stamp.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

CircleStamp traceCircle(int radius, int thickness) {
  const int half = radius + std::max(thickness, 1) + 2;
  cv::Mat scratch(2 * half + 1, 2 * half + 1, CV_8UC1, cv::Scalar(0));
  cv::circle(scratch, {half, half}, radius, cv::Scalar(255), thickness, cv::LINE_8, 0);
  return traceSpans(scratch, {half, half});
}

CircleStamp traceSpans(const cv::Mat& mask, cv::Point center) {
  CircleStamp stamp;
  for (int y = 0; y < mask.rows; ++y) {
    const std::uint8_t* row = mask.ptr<std::uint8_t>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (row[x] == 0) continue;
      int end = x;
      while (end + 1 < mask.cols && row[end + 1] != 0)
        ++end;
      stamp.spans.push_back({y - center.y, x - center.x, end - center.x});
      stamp.reach =
          std::max({stamp.reach, std::abs(y - center.y), std::abs(x - center.x), end - center.x});
      x = end;
    }
  }
  return stamp;
}

cv::Vec3b stampColor(const cv::Scalar& color) {
  return {cv::saturate_cast<std::uint8_t>(color[0]), cv::saturate_cast<std::uint8_t>(color[1]),
          cv::saturate_cast<std::uint8_t>(color[2])};
}
