#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

#include "display/fovea.h"

// The yellow ring on the fovea centre and its label "Centru fovea".
void drawFoveaMarker(cv::Mat& canvas, const FoveaCenter& center);

// Title, "Frame time: <frameTimeMs> ms", the key help 10 pixels above the bottom edge and the
// colour legend 30 pixels above it.
void drawOverlayTexts(cv::Mat& canvas, std::int32_t frameTimeMs);
