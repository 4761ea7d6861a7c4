#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "tools/replay/options.h"
#include "tools/replay/synthetic_scene.h"

// The frames of one run: a synthetic scene, a still image, a video or a camera, up to the frame
// limit.
class ReplayInput {
 public:
  // Opens the input that `options` names and proves that it gives a frame. Returns an empty
  // string, or the message that says why it cannot be used.
  std::string open(const ReplayOptions& options);

  // The next frame into `frame`; empty at the end of the input or once the limit is reached.
  void read(cv::Mat& frame);

  void close();
  std::int64_t framesRead() const { return framesRead_; }

 private:
  std::int64_t limit_ = 0;  // 0: none
  std::int64_t framesRead_ = 0;
  cv::VideoCapture capture_;
  cv::Mat still_;
  cv::Mat firstFrame_;  // a video's first frame, read up front to prove the file decodes
  std::unique_ptr<SyntheticScene> scene_;
};
