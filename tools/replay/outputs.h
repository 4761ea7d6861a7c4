#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "tools/replay/options.h"

// The files a run writes: the recording of every canvas and the snapshot of one frame.
class ReplayOutputs {
 public:
  explicit ReplayOutputs(const ReplayOptions& options) : options_(options) {}

  // Before the run: an empty string when every output can be written, else the message.
  std::string check() const;

  // After frame `frameNumber` (1 = the first) was drawn into `canvas`. Returns false once an
  // output has failed (see error()); the run should then stop.
  bool write(std::int64_t frameNumber, const cv::Mat& canvas);

  // After the run: closes the recording. Returns false when an output is missing or failed.
  bool finish(std::int64_t framesRun);

  // Removes what this run wrote; a file it never touched stays.
  void discard();

  const std::string& error() const { return error_; }

 private:
  const ReplayOptions& options_;
  cv::VideoWriter recorder_;
  cv::Size recordSize_;
  cv::Mat resized_;
  std::string error_;
  bool recordingStarted_ = false;  // from here on the file at outPath is this run's
  bool snapshotTried_ = false;
  bool snapshotWritten_ = false;
};
