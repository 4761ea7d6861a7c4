#pragma once

#include <functional>

#include <opencv2/core.hpp>

// Where a program shows its canvases and reads its keys. The platform fills it with the window
// (windowDisplay); tests fill it with scripted keys.
struct Display {
  std::function<void(const cv::Mat& canvas)> show;
  std::function<int(int delayMs)> waitKey;  // the key code, -1 for none
  // After the first show: true once the window is gone or hidden. A later show would bring it
  // back.
  std::function<bool()> closed = [] { return false; };
};

// The outside world as the demo's loop sees it: frames in, a display out.
struct FrameIo {
  std::function<void(cv::Mat& frame)> readFrame;  // blocks for the next image; empty at the end
  Display display;
};

// The frame size the demo asks the camera for; frames are used at whatever size they arrive.
inline const cv::Size kDemoFrameSize{1280, 720};
