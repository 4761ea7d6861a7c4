#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "apps/replay/options.h"
#include "apps/replay/output_report.h"
#include "frame_input/frame_input.h"
#include "safe_output/atomic_file.h"

// The files a run writes: the recording of every canvas and the snapshots of single frames.
// Each is written to a temporary file beside its target and renamed into place once it is
// complete and reads back; an output that cannot be completed leaves its target as it was, and
// the others are still put in place.
class ReplayOutputs {
 public:
  explicit ReplayOutputs(const ReplayOptions& options) : options_(options) {}

  // Before the run, once the targets are vetted (vetOutputs): creates every temporary file and
  // opens the recorder where the input's frame size is known. Returns an empty string or the
  // message, with its cause.
  std::string prepare(const FrameInput& input);

  // After frame `frameNumber` (1 = the first) was drawn into `canvas`: records it and writes
  // the snapshots of that frame. An empty string, or the message once an output has failed (it
  // is kept for `finish` too): the run should then stop.
  std::string write(std::int64_t frameNumber, const cv::Mat& canvas);

  // After the run, however it ended: closes the recording, reads it back and renames it into
  // place when every frame written is there; says what became of each output.
  OutputsReport finish(std::int64_t framesRun);

 private:
  struct Snapshot {
    SnapshotRequest request;
    AtomicFile file;
    bool done = false;
    std::string problem;  // why it could not be written
  };

  bool openRecording(cv::Size canvasSize);
  bool writeSnapshot(Snapshot& snapshot, const cv::Mat& canvas);
  // "No space left on device" when the temporary files' file system is full, else `otherwise`.
  std::string causeOr(const std::string& directoryOf, const std::string& otherwise) const;

  const ReplayOptions& options_;
  double framesPerSecond_ = 0.0;
  AtomicFile recording_;
  cv::VideoWriter recorder_;
  bool recorderOpen_ = false;
  std::string recordingProblem_;  // set: the rest of the recording is lost; others may stand
  cv::Size recordSize_;           // the canvas size made even
  cv::Mat resized_;
  std::int64_t framesRecorded_ = 0;
  std::vector<std::unique_ptr<Snapshot>> snapshots_;
  std::vector<std::string> failures_;
};
