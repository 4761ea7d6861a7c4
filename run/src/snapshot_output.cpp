// A snapshot: one frame's canvas as PNG, checked to decode as the canvas before it is put in
// place.

#include <opencv2/imgcodecs.hpp>

#include "output.h"
#include "platform/quiet_stderr.h"
#include "safe_output/atomic_file.h"

namespace {

// The PNG bytes of `canvas`, or nothing when they do not decode as exactly the canvas (PNG is
// lossless).
bool encodeExactly(const cv::Mat& canvas, std::vector<uchar>& png) {
  QuietStderr quiet;  // libpng's own warnings
  if (!cv::imencode(".png", canvas, png)) return false;
  const cv::Mat back = cv::imdecode(png, cv::IMREAD_UNCHANGED);
  return back.size() == canvas.size() && back.type() == canvas.type() &&
         cv::norm(back, canvas, cv::NORM_INF) == 0.0;
}

class SnapshotOutput : public Output {
 public:
  explicit SnapshotOutput(SnapshotSpec runSpec) : runSpec_(std::move(runSpec)) {}

  RunRole role() const override { return RunRole::snapshot; }
  const std::string& target() const override { return runSpec_.path; }

  std::string prepare(const OutputContext&) override {
    const std::string problem = file_.create(runSpec_.path, TemporaryKind::anonymous);
    return problem.empty() ? problem : cannotWrite(runSpec_.path, problem);
  }

  std::string write(OutputFrame& frame) override {
    if (frame.number != runSpec_.frame || done_ || !problem_.empty()) return {};
    // Encoded here and written through the temporary file's own descriptor, so that a failed
    // write says why (a full disk) rather than leaving a short file to find out about.
    std::vector<uchar> png;
    std::string problem = encodeExactly(frame.result.canvas, png)
                              ? std::string()
                              : "the PNG encoder's output does not decode as the canvas";
    if (problem.empty()) problem = file_.write(png.data(), png.size());
    if (problem.empty()) problem = file_.commit();
    if (problem.empty()) {
      done_ = true;
      return {};
    }
    file_.abandon();
    problem_ = problem;
    return cannotWrite(runSpec_.path, problem);
  }

  void finish(OutputEnding& ending, RunResult& result) override {
    file_.abandon();
    std::string problem = problem_;
    if (!problem.empty()) result.failures.push_back(cannotWrite(runSpec_.path, problem));
    if (!done_ && problem.empty() && runSpec_.frame > ending.framesRun) {
      problem = "frame " + std::to_string(runSpec_.frame) +
                " was not reached (the run ended after " + std::to_string(ending.framesRun) +
                " frames)";
      result.missed.push_back("snapshot " + problem + ", so '" + runSpec_.path +
                              "' was not written");
    } else if (!done_ && problem.empty()) {
      problem = "the run ended at its frame, on another output's failure";
    }
    result.outputs.push_back(done_ ? written(role(), runSpec_.path)
                                   : notWritten(role(), runSpec_.path, problem));
  }

 private:
  SnapshotSpec runSpec_;
  AtomicFile file_;
  bool done_ = false;
  std::string problem_;  // why it could not be written
};

}  // namespace

std::unique_ptr<Output> makeSnapshotOutput(const SnapshotSpec& snapshot) {
  return std::make_unique<SnapshotOutput>(snapshot);
}
