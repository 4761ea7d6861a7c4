// The recording: every canvas as MJPG AVI at the input's rate, read back before it is put in place.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "output.h"
#include "platform/platform.h"
#include "platform/quiet_stderr.h"
#include "safe_output/atomic_file.h"

namespace {

// FFmpeg's MJPG writer drops an odd last column or row (and refuses 1 pixel): the recording is
// made at the even size that it keeps.
cv::Size recordableSize(cv::Size canvas) {
  return {std::max(2, canvas.width & ~1), std::max(2, canvas.height & ~1)};
}

std::string sizeText(cv::Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

class RecordingOutput : public Output {
 public:
  explicit RecordingOutput(std::string target) : target_(std::move(target)) {}

  RunRole role() const override { return RunRole::recording; }
  const std::string& target() const override { return target_; }

  std::string prepare(const OutputContext& context) override {
    framesPerSecond_ = context.input.framesPerSecond();
    const std::string problem = file_.create(target_);
    if (!problem.empty()) return cannotWrite(target_, problem);
    // The recorder opens now where the size is known, so that a size the encoder refuses is
    // refused before the run.
    const cv::Size first = context.input.firstFrameSize();
    if (!first.empty() && !open(first)) {
      std::string message = failure_;
      failure_.clear();
      return message;
    }
    return {};
  }

  std::string write(OutputFrame& frame) override {
    if (!failure_.empty()) return failure_;
    const cv::Mat& canvas = frame.result.canvas;
    if (!open_ && !open(canvas.size())) return failure_;
    recorder_.write(fitted(canvas));
    ++framesRecorded_;
    // The encoders write through buffers that report no error; a full file system is what
    // makes them lose frames, so it ends the run at once rather than after hours of frames.
    const std::string full = causeOr("");
    if (!full.empty()) {
      problem_ = full;
      failure_ = cannotWrite(target_, problem_);
    }
    return failure_;
  }

  void finish(OutputEnding&, RunResult& result) override {
    recorder_.close();
    std::string problem = problem_;
    if (!failure_.empty()) result.failures.push_back(failure_);
    if (problem.empty() && framesRecorded_ == 0) {
      problem = "no frame was drawn";
      result.missed.push_back("no frame was drawn, so '" + target_ + "' was not written");
    } else if (problem.empty()) {
      problem = readBackAndCommit();
      if (!problem.empty()) result.failures.push_back(cannotWrite(target_, problem));
    }
    file_.abandon();
    result.outputs.push_back(problem.empty() ? written(role(), target_)
                                             : notWritten(role(), target_, problem));
  }

 private:
  // Whether the file system holding `path` has no block left for this process. Root may use the
  // blocks reserved for it, others may not.
  static bool fileSystemFull(const std::string& path) {
    struct statvfs space {};
    if (statvfs(path.c_str(), &space) != 0) return false;
    return (geteuid() == 0 ? space.f_bfree : space.f_bavail) == 0;
  }

  // Whether the file at `path` has reached the file size limit (ulimit -f): the kernel writes up
  // to the limit and refuses the rest (EFBIG, SIGXFSZ), which the encoder does not report.
  static bool fileSizeLimitReached(const std::string& path) {
    rlimit limit{};
    struct stat info {};
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
           stat(path.c_str(), &info) == 0 && static_cast<rlim_t>(info.st_size) >= limit.rlim_cur;
  }

  // "No space left on device" when the temporary file's file system is full, "File too large"
  // when it has reached the file size limit, else `otherwise`.
  std::string causeOr(const std::string& otherwise) const {
    if (fileSystemFull(file_.tempPath())) return std::strerror(ENOSPC);
    if (fileSizeLimitReached(file_.tempPath())) return std::strerror(EFBIG);
    return otherwise;
  }

  bool open(cv::Size canvasSize) {
    size_ = recordableSize(canvasSize);
    {
      QuietStderr quiet;  // FFmpeg explains a refused size in its own words
      open_ = recorder_.open(file_.tempPath(), size_, framesPerSecond_);
    }
    if (!open_) {
      problem_ = "the MJPG encoder refuses " + sizeText(size_) + " frames";
      failure_ = "cannot record '" + target_ + "': " + problem_;
    }
    return open_;
  }

  // The canvas at the recording's size: an odd size loses its last column or row (or is padded),
  // and a canvas of another size (the input changed size) is scaled to the recording's.
  const cv::Mat& fitted(const cv::Mat& canvas) {
    const cv::Size size = canvas.size();
    if (size == size_) return canvas;
    if (recordableSize(size) == size_) {
      resized_.create(size_, canvas.type());
      resized_.setTo(cv::Scalar::all(0));
      const cv::Rect common(0, 0, std::min(size.width, size_.width),
                            std::min(size.height, size_.height));
      canvas(common).copyTo(resized_(common));
    } else {
      cv::resize(canvas, resized_, size_);
    }
    return resized_;
  }

  std::string readBackAndCommit() {
    const VideoFileCheck check = checkVideoFile(file_.tempPath());
    const auto readable = static_cast<std::int64_t>(std::llround(check.frameCount));
    if (!check.opened || check.frameSize != size_) {
      return causeOr("the file does not read back as a " + sizeText(size_) + " video");
    }
    if (readable != framesRecorded_ || !check.lastFrameDecodes) {
      return causeOr("it reads back with " + std::to_string(readable) + " of " +
                     std::to_string(framesRecorded_) + " frames");
    }
    return file_.commit();
  }

  std::string target_;
  double framesPerSecond_ = 0.0;
  AtomicFile file_;
  Recorder recorder_;
  bool open_ = false;
  std::string problem_;  // set: the rest of the recording is lost
  std::string failure_;  // the message that ends the run
  cv::Size size_;        // the canvas size made even
  cv::Mat resized_;
  std::int64_t framesRecorded_ = 0;
};

}  // namespace

std::unique_ptr<Output> makeRecordingOutput(const std::string& target) {
  return std::make_unique<RecordingOutput>(target);
}
