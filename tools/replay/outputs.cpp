#include "tools/replay/outputs.h"

#include <cstdio>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include "app/platform.h"
#include "tools/replay/frame_clock.h"

namespace {

// True when `path` can be written. An existing file is left as it is (the run will replace it);
// a new one is created and removed again, so nothing is left behind. A directory is refused:
// writing fails on it, and removing the failed output afterwards would delete it if empty.
bool canWrite(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    return !S_ISDIR(info.st_mode) && access(path.c_str(), W_OK) == 0;
  }
  std::ofstream probe(path, std::ios::binary);
  const bool ok = probe.is_open();
  probe.close();
  if (ok) std::remove(path.c_str());
  return ok;
}

}  // namespace

std::string ReplayOutputs::check() const {
  for (const std::string& path : {options_.outPath, options_.snapshotPath}) {
    if (!path.empty() && !canWrite(path)) return "cannot write '" + path + "'";
  }
  return {};
}

bool ReplayOutputs::write(std::int64_t frameNumber, const cv::Mat& canvas) {
  if (!options_.outPath.empty() && error_.empty()) {
    if (!recordingStarted_) {
      recordingStarted_ = true;
      recordSize_ = canvas.size();
      if (!openRecorder(recorder_, options_.outPath, recordSize_, kDefaultFramesPerSecond)) {
        error_ = "cannot record to '" + options_.outPath + "'";
      }
    }
    if (error_.empty() && canvas.size() == recordSize_) {
      record(recorder_, canvas);
    } else if (error_.empty()) {  // the input changed size: keep the video's own size
      cv::resize(canvas, resized_, recordSize_);
      record(recorder_, resized_);
    }
  }
  if (frameNumber == options_.snapshotFrame) {
    snapshotTried_ = true;
    snapshotWritten_ = cv::imwrite(options_.snapshotPath, canvas);
    if (!snapshotWritten_) error_ = "cannot write '" + options_.snapshotPath + "'";
  }
  return error_.empty();
}

bool ReplayOutputs::finish(std::int64_t framesRun) {
  closeRecorder(recorder_);
  if (error_.empty() && options_.snapshotFrame > 0 && !snapshotWritten_) {
    error_ = "the run ended after " + std::to_string(framesRun) +
             " frames, before snapshot frame " + std::to_string(options_.snapshotFrame);
  }
  return error_.empty();
}

void ReplayOutputs::discard() {
  closeRecorder(recorder_);
  if (recordingStarted_) std::remove(options_.outPath.c_str());
  if (snapshotTried_) std::remove(options_.snapshotPath.c_str());
}
