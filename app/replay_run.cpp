#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/platform.h"
#include "app/replay.h"
#include "app/synthetic_scene.h"

namespace {

bool displayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

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

int runReplay(ReplayOptions options, std::ostream& out, std::ostream& err,
              const std::function<void(const cv::Mat& canvas)>& onCanvas) {
  auto fail = [&err](const std::string& message) {
    err << "retina-replay: " << message << "\n";
    return kReplayUsageError;
  };
  if (options.help) {
    out << replayUsage();
    return 0;
  }
  if (!options.headless && !displayAvailable()) {
    err << "retina-replay: no display found, running headless\n";
    options.headless = true;
  }

  // Input: everything is opened and checked before any output file exists. A missing file is
  // refused before VideoCapture tries it: each back-end would log an error of its own to
  // standard error, and the tool's message is meant to be the only line.
  const bool inputReadable = access(options.inputPath.c_str(), R_OK) == 0;
  cv::VideoCapture capture;
  cv::Mat still;
  cv::Mat firstFrame;  // a video's first frame, read up front to prove the file decodes
  std::unique_ptr<SyntheticScene> scene;
  switch (options.source) {
    case ReplaySource::synthetic:
      scene = std::make_unique<SyntheticScene>(options.sceneSize);
      break;
    case ReplaySource::video:
      // Some back-ends "open" a file they cannot decode and then return no frame at all.
      if (!inputReadable || !openVideoFile(capture, options.inputPath) ||
          !readFrom(capture, firstFrame)) {
        return fail("cannot open video '" + options.inputPath + "'");
      }
      break;
    case ReplaySource::image:
      // imread refuses an unknown format quietly, where VideoCapture's back-ends log errors.
      if (inputReadable) still = cv::imread(options.inputPath, cv::IMREAD_COLOR);
      if (still.empty()) return fail("cannot read image '" + options.inputPath + "'");
      break;
    case ReplaySource::camera:
      if (!openCamera(capture, options.cameraIndex)) {
        return fail("cannot open camera " + std::to_string(options.cameraIndex));
      }
      requestFrameSize(capture, 1280.0, 720.0);
      break;
  }
  for (const std::string& path : {options.outPath, options.snapshotPath}) {
    if (!path.empty() && !canWrite(path)) return fail("cannot write '" + path + "'");
  }

  FrameIo io = options.headless ? headlessIo(capture) : windowIo(capture);
  const std::int64_t limit = frameLimit(options);
  std::int64_t framesRead = 0;
  bool stopReading = false;  // set when an output fails, to end the run at the next read
  FixedFrameClock clock;
  io.readFrame = [&](cv::Mat& frame) {
    if (options.deterministic) clock.advance();
    if (stopReading || (limit > 0 && framesRead >= limit)) {
      frame.release();
      return;
    }
    if (scene) {
      scene->render(framesRead, frame);
    } else if (!still.empty()) {
      still.copyTo(frame);
    } else if (!firstFrame.empty()) {
      frame = firstFrame;  // hands the buffer over: the next read may write into it
      firstFrame = cv::Mat();
    } else {
      readFrom(capture, frame);
    }
    ++framesRead;
  };

  SessionOptions session;
  if (options.deterministic) {
    io.now = [&clock] { return clock.now(); };
    session.modelMode = ModelMode::steppedAfterEmission;
    session.modelClock = [&clock] { return clock.seconds(); };
  }

  ReplaySummary summary;
  cv::VideoWriter recorder;
  cv::Size recordSize;
  cv::Mat resized;
  std::string outputError;
  bool recordingStarted = false;  // from here on the file at outPath is this run's
  bool snapshotTried = false;
  bool snapshotWritten = false;
  session.hooks.afterFrame = [&](const FrameStats& stats, const cv::Mat& canvas) {
    summary.add(stats);
    const auto frameNumber = static_cast<std::int64_t>(summary.frames());
    summary.noteMemory(frameNumber);
    if (!options.outPath.empty() && outputError.empty()) {
      if (!recordingStarted) {
        recordingStarted = true;
        recordSize = canvas.size();
        if (!openRecorder(recorder, options.outPath, recordSize)) {
          outputError = "cannot record to '" + options.outPath + "'";
        }
      }
      if (outputError.empty() && canvas.size() == recordSize) {
        record(recorder, canvas);
      } else if (outputError.empty()) {  // the input changed size: keep the video's own size
        cv::resize(canvas, resized, recordSize);
        record(recorder, resized);
      }
    }
    if (frameNumber == options.snapshotFrame) {
      snapshotTried = true;
      snapshotWritten = cv::imwrite(options.snapshotPath, canvas);
      if (!snapshotWritten) outputError = "cannot write '" + options.snapshotPath + "'";
    }
    if (!outputError.empty()) stopReading = true;
    if (onCanvas) onCanvas(canvas);
  };

  // After a failure, removes what this run wrote; a file it never touched stays.
  auto removeOutputs = [&] {
    closeRecorder(recorder);
    if (recordingStarted) std::remove(options.outPath.c_str());
    if (snapshotTried) std::remove(options.snapshotPath.c_str());
  };
  SessionEnd end{};
  try {
    end = runSession(io, out, session);
  } catch (const std::exception& e) {
    removeOutputs();
    err << "retina-replay: stopped by an error: " << e.what() << "\n";
    return 1;
  }
  closeRecorder(recorder);
  closeCapture(capture);
  if (!options.headless) closeAllWindows();

  if (!outputError.empty()) {
    removeOutputs();
    return fail(outputError);
  }
  summary.print(out, end.queue, options.deterministic);
  if (options.snapshotFrame > 0 && !snapshotWritten) {
    removeOutputs();  // a run that fails leaves no output behind, the recording included
    return fail("the run ended after " + std::to_string(summary.frames()) +
                " frames, before snapshot frame " + std::to_string(options.snapshotFrame));
  }
  return 0;
}
