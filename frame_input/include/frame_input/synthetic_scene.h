#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

// A moving scene for runs without a camera: a fixed, softly textured background with bright
// coloured shapes that travel on smooth closed paths, so that the fovea has something to follow
// and the model something to inhibit. Frame k depends only on k and the size, never on time or
// on a random seed, so every run sees the same frames.
constexpr std::int64_t kSceneLoopFrames = 240;  // one trip round the paths: 8 s at 30 fps

class SyntheticScene {
 public:
  explicit SyntheticScene(cv::Size size);

  // Draws frame `frameIndex` (0, 1, ...) into `frame` (8-bit BGR, the scene's size).
  void render(std::int64_t frameIndex, cv::Mat& frame) const;

 private:
  cv::Mat background_;
};
