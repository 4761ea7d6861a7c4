#pragma once

// Sessions for the tests, the benchmark and the fuzzer: a clock that moves only when told, and
// frames and keys from a script instead of a camera and a window.

#include <chrono>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/frame_io.h"
#include "session/session.h"

// A session driven frame by frame. The clock stands still unless `frame` is told how long the
// read took; the stepped model's batch times advance by 1/30 s per frame.
struct TestSession {
  explicit TestSession(ModelMode mode = ModelMode::steppedAfterEmission,
                       const RetinaLayout& layout = kDemoRetina)
      : session(config(mode, withLayout(layout))) {}
  TestSession(ModelMode mode, const Parameters& parameters, const FoveaControl& fovea = {},
              bool recordEvents = false)
      : session(config(mode, parameters, fovea, recordEvents)) {}

  // One frame: t0 now, t1 after `readTime`, then the session's step with the marker at t1.
  FrameResult frame(const cv::Mat& image,
                    std::chrono::nanoseconds readTime = std::chrono::nanoseconds(0)) {
    FrameTimes times;
    times.start = clock;
    clock += readTime;
    modelTime += 1.0 / 30.0;
    times.capture = clock;
    times.marked = clock;
    times.batchTime = modelTime;
    return session.step(image, times);
  }

  static Parameters withLayout(const RetinaLayout& layout) {
    Parameters parameters;
    parameters.retina = layout;
    return parameters;
  }

  SessionConfig config(ModelMode mode, const Parameters& parameters, const FoveaControl& fovea = {},
                       bool recordEvents = false) {
    SessionConfig c;
    c.parameters = parameters;
    c.fovea = fovea;
    c.modelMode = mode;
    c.recordEvents = recordEvents;
    c.start = clock;
    return c;
  }

  SteadyTime clock{std::chrono::seconds(1000)};
  double modelTime = 0.0;
  Session session;
};

// The demo's outside world from a script: frames in order (then an empty one), a key per frame,
// and a clock that moves only at a frame read. Pass `clock` and `config()` to runDemo.
struct ScriptedIo {
  std::vector<cv::Mat> frames;  // delivered in order; after the last one an empty frame
  std::vector<int> keys;        // key for frame i (after its display); -1 beyond the end
  std::chrono::nanoseconds advancePerRead{0};

  std::size_t framesRead = 0;
  std::size_t keyPolls = 0;
  std::vector<int> keyWaitsMs;  // the delay of every key poll
  std::vector<cv::Mat> shown;   // copies of every canvas shown
  static constexpr SteadyTime kScriptStart{std::chrono::seconds(1000)};
  FrameClock clock{kScriptStart, advancePerRead};  // set anew by io()

  FrameIo io() {
    clock = FrameClock(kScriptStart, advancePerRead);
    FrameIo io;
    io.readFrame = [this](cv::Mat& frame) {
      if (framesRead < frames.size()) {
        frames[framesRead].copyTo(frame);
      } else {
        frame.release();
      }
      ++framesRead;
    };
    io.display.show = [this](const cv::Mat& canvas) { shown.push_back(canvas.clone()); };
    io.display.waitKey = [this](int delayMs) {
      keyWaitsMs.push_back(delayMs);
      const std::size_t i = keyPolls++;
      return i < keys.size() ? keys[i] : -1;
    };
    return io;
  }

  SessionConfig config(ModelMode mode = ModelMode::workerThread) {
    SessionConfig c;
    c.modelMode = mode;
    c.start = kScriptStart;
    return c;
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
