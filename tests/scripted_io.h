#pragma once

// A frame source, display, keyboard and clock driven by a script, for running the real frame
// loop in tests without a camera or a window.

#include <chrono>
#include <cstddef>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "app/frame_loop.h"

struct ScriptedIo {
  std::vector<cv::Mat> frames;  // delivered in order; after the last one an empty frame
  std::vector<int> keys;        // key for frame i (after its display); -1 beyond the end
  std::chrono::nanoseconds advancePerRead{0};  // the clock moves only inside a frame read

  std::size_t framesRead = 0;
  std::size_t keyPolls = 0;
  std::vector<cv::Mat> shown;  // copies of every canvas shown
  SteadyTime clock{std::chrono::seconds(1000)};

  FrameIo io() {
    FrameIo io;
    io.readFrame = [this](cv::Mat& frame) {
      clock += advancePerRead;
      if (framesRead < frames.size()) {
        frames[framesRead].copyTo(frame);
      } else {
        frame.release();
      }
      ++framesRead;
    };
    io.showCanvas = [this](const cv::Mat& canvas) { shown.push_back(canvas.clone()); };
    io.waitKey = [this](int) {
      const std::size_t i = keyPolls++;
      return i < keys.size() ? keys[i] : -1;
    };
    io.now = [this] { return clock; };
    return io;
  }
};

// Console output split into its lines, without the newlines.
inline std::vector<std::string> consoleLines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    result.push_back(line);
  return result;
}
