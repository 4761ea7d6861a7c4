#pragma once

// retina-replay run in process, headless, with its console captured.

#include <csignal>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "apps/replay/options.h"
#include "apps/replay/replay.h"

struct ReplayRun {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<cv::Mat> canvases;  // copies, only when asked for
  cv::Size canvasSize;
};

struct RunSetup {
  bool keepCanvases = false;
  std::int64_t stopAfterFrame = 0;  // 0: never; else the signal below after that frame
  int stopSignal = SIGINT;
  bool stopBeforeFirstFrame = false;  // the signal below arrives before the loop's first frame
  bool exportWriterThread = true;     // RunSpec::exportOnRunThread, negated
};

// Parses `args`, which must be valid, and runs them headless; `onFrame` hears of each canvas
// drawn, in the middle of the run.
inline ReplayRun replay(const std::vector<std::string>& args, const RunSetup& setup = {},
                        const std::function<void(std::int64_t frame)>& onFrame = {}) {
  ParsedCommand parsed = parseReplayCommand(args);
  EXPECT_EQ(parsed.error, "");
  parsed.command.headless = true;
  parsed.command.runSpec.exportOnRunThread = !setup.exportWriterThread;
  ReplayRun run;
  std::ostringstream out, err;
  volatile std::sig_atomic_t stop = setup.stopBeforeFirstFrame ? setup.stopSignal : 0;
  std::int64_t frames = 0;
  ReplayHooks hooks;
  hooks.stopSignal = &stop;
  hooks.onCanvas = [&](const cv::Mat& canvas) {
    run.canvasSize = canvas.size();
    if (setup.keepCanvases) run.canvases.push_back(canvas.clone());
    if (++frames == setup.stopAfterFrame) stop = setup.stopSignal;  // as the signal handler does
    if (onFrame) onFrame(frames);
  };
  run.status = runReplay(parsed.command, out, err, hooks);
  run.out = out.str();
  run.err = err.str();
  return run;
}

inline std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args)
    text += arg + " ";
  return text;
}

// A clip of `frames` 320x240 frames at `framesPerSecond`, made with OpenCV's own writer: a white
// disc moving right over grey. False when no writer opens.
inline bool writeClip(const std::string& path, double framesPerSecond, int frames) {
  cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                         framesPerSecond, cv::Size(320, 240));
  if (!writer.isOpened()) return false;
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame(240, 320, CV_8UC3, cv::Scalar(40, 40, 40));
    cv::circle(frame, {40 + 8 * i, 120}, 30, cv::Scalar(250, 250, 250), cv::FILLED);
    writer.write(frame);
  }
  return true;
}
