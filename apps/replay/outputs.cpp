#include "apps/replay/outputs.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/quiet_stderr.h"

namespace {

// Whether the file system holding `path` has no block left for this process. Root may use the
// blocks reserved for it, others may not.
bool fileSystemFull(const std::string& path) {
  struct statvfs space {};
  if (statvfs(path.c_str(), &space) != 0) return false;
  return (geteuid() == 0 ? space.f_bfree : space.f_bavail) == 0;
}

// FFmpeg's MJPG writer drops an odd last column or row (and refuses 1 pixel): the recording is
// made at the even size that it keeps.
cv::Size recordableSize(cv::Size canvas) {
  return {std::max(2, canvas.width & ~1), std::max(2, canvas.height & ~1)};
}

std::string sizeText(cv::Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

}  // namespace

std::string ReplayOutputs::prepare(const FrameInput& input) {
  framesPerSecond_ = input.framesPerSecond();
  if (!options_.outPath.empty()) {
    const std::string problem = recording_.create(options_.outPath);
    if (!problem.empty()) return cannotWrite(options_.outPath, problem);
  }
  for (const SnapshotRequest& shot : options_.snapshots) {
    auto snapshot = std::make_unique<Snapshot>();
    snapshot->request = shot;
    const std::string problem = snapshot->file.create(shot.path);
    if (!problem.empty()) return cannotWrite(shot.path, problem);
    snapshots_.push_back(std::move(snapshot));
  }
  // The recorder opens now where the size is known, so that a size the encoder refuses is
  // refused before the run.
  if (!options_.outPath.empty() && !input.firstFrameSize().empty() &&
      !openRecording(input.firstFrameSize())) {
    std::string message = failures_.back();
    failures_.clear();
    return message;
  }
  return {};
}

bool ReplayOutputs::openRecording(cv::Size canvasSize) {
  recordSize_ = recordableSize(canvasSize);
  {
    QuietStderr quiet;  // FFmpeg explains a refused size in its own words
    recorderOpen_ = openRecorder(recorder_, recording_.tempPath(), recordSize_, framesPerSecond_);
  }
  if (!recorderOpen_) {
    recordingProblem_ = "the MJPG encoder refuses " + sizeText(recordSize_) + " frames";
    failures_.push_back("cannot record '" + options_.outPath + "': " + recordingProblem_);
  }
  return recorderOpen_;
}

std::string ReplayOutputs::causeOr(const std::string& path, const std::string& otherwise) const {
  return fileSystemFull(path) ? std::string("No space left on device") : otherwise;
}

std::string ReplayOutputs::write(std::int64_t frameNumber, const cv::Mat& canvas) {
  if (!failures_.empty()) return failures_.front();
  if (!options_.outPath.empty()) {
    if (!recorderOpen_ && !openRecording(canvas.size())) return failures_.front();
    const cv::Size size = canvas.size();
    if (size == recordSize_) {
      record(recorder_, canvas);
    } else if (recordableSize(size) == recordSize_) {  // an odd size: the even part, or padded
      resized_.create(recordSize_, canvas.type());
      resized_.setTo(cv::Scalar::all(0));
      const cv::Rect common(0, 0, std::min(size.width, recordSize_.width),
                            std::min(size.height, recordSize_.height));
      canvas(common).copyTo(resized_(common));
      record(recorder_, resized_);
    } else {  // the input changed size: keep the recording's own size
      cv::resize(canvas, resized_, recordSize_);
      record(recorder_, resized_);
    }
    ++framesRecorded_;
    // The encoders write through buffers that report no error; a full file system is what
    // makes them lose frames, so it ends the run at once rather than after hours of frames.
    if (fileSystemFull(recording_.tempPath())) {
      recordingProblem_ = "No space left on device";
      failures_.push_back(cannotWrite(options_.outPath, recordingProblem_));
      return failures_.front();
    }
  }
  for (const auto& snapshot : snapshots_) {
    if (snapshot->request.frame == frameNumber && !writeSnapshot(*snapshot, canvas)) {
      return failures_.front();
    }
  }
  return {};
}

bool ReplayOutputs::writeSnapshot(Snapshot& snapshot, const cv::Mat& canvas) {
  // Encoded here and written through the temporary file's own descriptor, so that a failed
  // write says why (a full disk) rather than leaving a short file to find out about.
  std::vector<uchar> png;
  bool same = false;
  {
    QuietStderr quiet;  // libpng's own warnings
    // PNG is lossless: the bytes must decode as exactly the canvas.
    if (cv::imencode(".png", canvas, png)) {
      const cv::Mat back = cv::imdecode(png, cv::IMREAD_UNCHANGED);
      same = back.size() == canvas.size() && back.type() == canvas.type() &&
             cv::norm(back, canvas, cv::NORM_INF) == 0.0;
    }
  }
  std::string problem =
      same ? std::string() : "the PNG encoder's output does not decode as the canvas";
  if (problem.empty()) problem = snapshot.file.write(png.data(), png.size());
  if (problem.empty()) problem = snapshot.file.commit();
  if (!problem.empty()) {
    snapshot.file.abandon();
    snapshot.problem = problem;
    failures_.push_back(cannotWrite(snapshot.request.path, problem));
    return false;
  }
  snapshot.done = true;
  return true;
}

OutputsReport ReplayOutputs::finish(std::int64_t framesRun) {
  OutputsReport report;
  report.failures = failures_;
  if (!options_.outPath.empty()) {
    closeRecorder(recorder_);
    const std::string& target = options_.outPath;
    std::string problem = recordingProblem_;
    if (problem.empty() && framesRecorded_ == 0) {
      problem = "no frame was drawn";
      report.missed.push_back("no frame was drawn, so '" + target + "' was not written");
    } else if (problem.empty()) {
      const std::string temp = recording_.tempPath();
      const VideoFileCheck check = checkVideoFile(temp);
      const auto readable = static_cast<std::int64_t>(std::llround(check.frameCount));
      if (!check.opened || check.frameSize != recordSize_) {
        problem =
            causeOr(temp, "the file does not read back as a " + sizeText(recordSize_) + " video");
      } else if (readable != framesRecorded_ || !check.lastFrameDecodes) {
        problem = causeOr(temp, "it reads back with " + std::to_string(readable) + " of " +
                                    std::to_string(framesRecorded_) + " frames");
      } else {
        problem = recording_.commit();
      }
      if (!problem.empty()) report.failures.push_back(cannotWrite(target, problem));
    }
    recording_.abandon();
    report.outcomes.push_back(problem.empty() ? writtenOutcome(target)
                                              : notWrittenOutcome(target, problem));
  }
  for (const auto& snapshot : snapshots_) {
    const SnapshotRequest& request = snapshot->request;
    snapshot->file.abandon();
    std::string problem = snapshot->problem;
    if (!snapshot->done && problem.empty() && request.frame > framesRun) {
      problem = "frame " + std::to_string(request.frame) +
                " was not reached (the run ended after " + std::to_string(framesRun) + " frames)";
      report.missed.push_back("snapshot " + problem + ", so '" + request.path +
                              "' was not written");
    } else if (!snapshot->done && problem.empty()) {
      problem = "the run ended at its frame, on another output's failure";
    }
    report.outcomes.push_back(snapshot->done ? writtenOutcome(request.path)
                                             : notWrittenOutcome(request.path, problem));
  }
  return report;
}
