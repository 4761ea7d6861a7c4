#pragma once

#include <functional>

#include <opencv2/core.hpp>

// The outside world as the demo's loop sees it. The platform file fills it from the camera, the
// window and the keyboard; tests fill it with synthetic frames and scripted keys.
struct FrameIo {
  std::function<void(cv::Mat& frame)> readFrame;  // blocks for the next image; empty at the end
  std::function<void(const cv::Mat& canvas)> showCanvas;
  std::function<int(int delayMs)> waitKey;  // the key code, -1 for none
};

// The frame size the demo asks the camera for; frames are used at whatever size they arrive.
inline const cv::Size kDemoFrameSize{1280, 720};
