#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "display/circle_stamp.h"
#include "display/fovea.h"

// A text exactly as cv::putText draws it (FONT_HERSHEY_SIMPLEX, line type 8), as row spans
// around its origin (the left end of its baseline), traced once from cv::putText itself.
struct TextStamp {
  CircleStamp pixels;  // spans around the origin
  cv::Rect box;        // the bounding box of every pixel, around the origin
};

TextStamp traceText(const std::string& text, double scale, int thickness);

// The overlay's shapes, traced once instead of laid out every frame: the marker's ring and label,
// the three fixed texts and every frame time seen so far. Drawn wholly inside the canvas, with a
// margin, a stamp writes exactly the pixels of cv::circle or cv::putText, which clip the shape's
// outline before drawing it; a shape that the canvas edge clips is drawn by them instead. Keep
// one for a session's frames: it allocates only when a frame time shows for the first time.
struct OverlayStamps {
  OverlayStamps();

  CircleStamp markerRing;
  TextStamp markerLabel;
  TextStamp title;
  TextStamp keyHelp;
  TextStamp legend;
  std::vector<TextStamp> frameTimes;  // by milliseconds, from 0; traced when first shown
};

// The yellow ring on the fovea centre and its label "Centru fovea".
void drawFoveaMarker(cv::Mat& canvas, const FoveaCenter& center, OverlayStamps& stamps);

// Title, "Frame time: <frameTimeMs> ms", the key help 10 pixels above the bottom edge and the
// colour legend 30 pixels above it.
void drawOverlayTexts(cv::Mat& canvas, std::int32_t frameTimeMs, OverlayStamps& stamps);
