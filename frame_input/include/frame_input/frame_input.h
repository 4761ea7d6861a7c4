#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "frame_input/synthetic_scene.h"
#include "platform/frame_io.h"
#include "platform/platform.h"

enum class InputKind { synthetic, video, image, camera };

// What to open: the kind, its file or camera, and how many frames to give at most.
struct InputRequest {
  InputKind kind = InputKind::synthetic;
  std::string path;                     // a video's or image's file (or a stream's name)
  int cameraIndex = 0;                  // a camera
  cv::Size sceneSize = kDemoFrameSize;  // the synthetic scene's frame size, pixels
  std::int64_t frameLimit = 0;          // 0: until the input ends
};

// The frames of one run: a synthetic scene, a still image, a video or a camera, up to the frame
// limit. A still image is given again and again until the limit.
class FrameInput {
 public:
  // Opens the input that `request` names and proves that it gives a frame. Returns an empty
  // string, or the message that says why it cannot be used, with its cause. Back-ends are kept
  // quiet meanwhile, so that the message is the only line.
  std::string open(const InputRequest& request);

  FrameInput() = default;
  ~FrameInput();
  FrameInput(const FrameInput&) = delete;
  FrameInput& operator=(const FrameInput&) = delete;

  // The next frame into `frame`; empty at the end of the input or once the limit is reached.
  void read(cv::Mat& frame);
  // As read(), but a video's or camera's frame is read on a thread of the input's own and waited
  // for at most `timeout` (a FIFO or a stream may stall for ever): false while it has not come,
  // `frame` then empty; the next call waits on for the same frame. Other inputs answer at once.
  bool readWithin(cv::Mat& frame, std::chrono::milliseconds timeout);

  // A read still waiting on its thread (a stalled stream) is left to it: the thread closes the
  // video or camera and ends once the read returns, if the process still runs by then.
  void close();
  std::int64_t framesRead() const { return framesRead_; }
  // True once read() has given an empty frame because the frame limit was reached (rather
  // than because the input ended).
  bool limitReached() const { return limitReached_; }

  // After the input gave no more frames before the limit: why it ended before its known end
  // ("frame 64 of 270 does not decode ..." for a clip, "frame 4: 'img_004.png' is missing ..."
  // for an image sequence with a gap), or an empty string when it simply ended.
  const std::string& endedEarly() const { return endedEarly_; }
  std::int64_t endedEarlyFrame() const { return endedEarlyFrame_; }  // 1 = the first frame

  // Frames the run will read at most: the frame limit or a video's length, whichever is lower;
  // 0 when neither is known (a camera, a stream without a length).
  std::int64_t expectedFrames() const { return expected_; }
  // The source's own rate: a video's or camera's nominal rate where it gives one, else 30.
  double framesPerSecond() const { return framesPerSecond_; }
  cv::Size firstFrameSize() const { return firstSize_; }

  // True when writing `path` would write over a file the input reads: the same file through
  // any name (symbolic or hard links), or a file that an image sequence's pattern covers.
  bool readsFile(const std::string& path) const;

 private:
  // open()'s part for each kind: an empty string or the message.
  std::string openVideo(const std::string& path);
  std::string openImage(const std::string& path);
  std::string openCamera(int index);
  void noteEnd();
  // Past the frame limit: `frame` emptied, limitReached() set.
  bool atLimit(cv::Mat& frame);

  std::int64_t limit_ = 0;  // 0: none
  std::int64_t expected_ = 0;
  std::int64_t videoLength_ = 0;  // a video's frame count from its container; 0: unknown
  std::string endedEarly_;
  std::int64_t endedEarlyFrame_ = 0;
  std::int64_t framesRead_ = 0;
  bool limitReached_ = false;
  double framesPerSecond_ = 0.0;
  cv::Size firstSize_;
  std::string fileKey_;          // the input's fileIdentity when it is one file; empty otherwise
  std::string sequencePattern_;  // an image sequence's printf pattern, e.g. "dir/img_%03d.jpg"
  // Shared with the reader thread, which may outlive this object's hold on it (close()).
  std::shared_ptr<Capture> capture_ = std::make_shared<Capture>();
  std::shared_ptr<struct CaptureReader> reader_;  // started by the first readWithin()
  cv::Mat still_;
  cv::Mat firstFrame_;  // a video's or camera's first frame, read up front to prove it decodes
  std::unique_ptr<SyntheticScene> scene_;
};

// Whether `path` names a file that the printf-style sequence `pattern` ("img_%03d.jpg") covers;
// both are compared in their directories with symbolic links resolved.
bool sequenceCovers(const std::string& pattern, const std::string& path);

// After the sequence `pattern` gave `delivered` frames and no more: why, when files of the
// sequence beyond the last one read exist (a gap, or a file that does not decode); else an
// empty string. Patterns with one %d, %Nd or %0Nd conversion only.
std::string sequenceGap(const std::string& pattern, std::int64_t delivered);
