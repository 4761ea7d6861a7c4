#include "tools/replay/inputs.h"

#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include "app/platform.h"

std::string ReplayInput::open(const ReplayOptions& options) {
  limit_ = frameLimit(options);
  // A missing file is refused before VideoCapture tries it: each back-end would log an error of
  // its own to standard error, and the tool's message is meant to be the only line.
  const bool readable = access(options.inputPath.c_str(), R_OK) == 0;
  switch (options.source) {
    case ReplaySource::synthetic:
      scene_ = std::make_unique<SyntheticScene>(options.sceneSize);
      break;
    case ReplaySource::video:
      // Some back-ends "open" a file they cannot decode and then return no frame at all.
      if (readable && openVideoFile(capture_, options.inputPath)) readFrom(capture_, firstFrame_);
      if (firstFrame_.empty()) return "cannot open video '" + options.inputPath + "'";
      break;
    case ReplaySource::image:
      // imread refuses an unknown format quietly, where VideoCapture's back-ends log errors.
      if (readable) still_ = cv::imread(options.inputPath, cv::IMREAD_COLOR);
      if (still_.empty()) return "cannot read image '" + options.inputPath + "'";
      break;
    case ReplaySource::camera:
      if (!openCamera(capture_, options.cameraIndex)) {
        return "cannot open camera " + std::to_string(options.cameraIndex);
      }
      requestFrameSize(capture_, kDemoFrameSize);
      break;
  }
  return {};
}

void ReplayInput::read(cv::Mat& frame) {
  if (limit_ > 0 && framesRead_ >= limit_) {
    frame.release();
    return;
  }
  if (scene_) {
    scene_->render(framesRead_, frame);
  } else if (!still_.empty()) {
    still_.copyTo(frame);
  } else if (!firstFrame_.empty()) {
    frame = firstFrame_;  // hands the buffer over: the next read may write into it
    firstFrame_ = cv::Mat();
  } else {
    readFrom(capture_, frame);
  }
  ++framesRead_;
}

void ReplayInput::close() {
  closeCapture(capture_);
}
