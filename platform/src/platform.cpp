#include "platform/platform.h"

#include <cmath>
#include <cstdlib>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio/registry.hpp>

#include <unistd.h>

namespace {

// OpenCV's own warnings, and FFmpeg's lines ("[mjpeg @ 0x...] error ..."), which FFmpeg prints
// for every damaged frame of a whole run, not only while an input is tried: OpenCV reads
// OPENCV_FFMPEG_LOGLEVEL whenever it opens a file, and -8 is FFmpeg's AV_LOG_QUIET. A user who
// asks for FFmpeg's lines with either of OpenCV's variables gets them.
void quietBackends() {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  if (std::getenv("OPENCV_FFMPEG_DEBUG") == nullptr) setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);
}

}  // namespace

bool openCamera(cv::VideoCapture& capture, int index) {
  quietBackends();
  return capture.open(index, cv::CAP_ANY) && capture.isOpened();
}

bool openVideoFile(cv::VideoCapture& capture, const std::string& path) {
  quietBackends();
  return capture.open(path, cv::CAP_ANY) && capture.isOpened();
}

void readFrom(cv::VideoCapture& capture, cv::Mat& frame) {
  capture >> frame;
}

void closeCapture(cv::VideoCapture& capture) {
  capture.release();
}

void requestFrameSize(cv::VideoCapture& capture, cv::Size size) {
  capture.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(size.width));
  capture.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(size.height));
}

CaptureInfo captureInfo(cv::VideoCapture& capture) {
  const auto sane = [](double value, double most) {
    return std::isfinite(value) && value > 0.0 && value <= most ? value : 0.0;
  };
  CaptureInfo info;
  info.frameCount = sane(capture.get(cv::CAP_PROP_FRAME_COUNT), 1e12);
  info.framesPerSecond = sane(capture.get(cv::CAP_PROP_FPS), 1000.0);
  return info;
}

void showInWindow(const cv::Mat& canvas) {
  cv::imshow(kWindowTitle, canvas);
}

bool windowClosed() {
  return cv::getWindowProperty(kWindowTitle, cv::WND_PROP_VISIBLE) < 1.0;
}

int pollKey(int delayMs) {
  return cv::waitKey(delayMs);
}

FrameIo windowIo(cv::VideoCapture& capture) {
  FrameIo io;
  io.readFrame = [&capture](cv::Mat& frame) { readFrom(capture, frame); };
  io.showCanvas = showInWindow;
  io.waitKey = pollKey;
  return io;
}

void closeAllWindows() {
  cv::destroyAllWindows();
}

bool openRecorder(cv::VideoWriter& writer, const std::string& path, cv::Size size,
                  double framesPerSecond) {
  quietBackends();
  const int backend =
      cv::videoio_registry::hasBackend(cv::CAP_FFMPEG) ? cv::CAP_FFMPEG : cv::CAP_OPENCV_MJPEG;
  return writer.open(path, backend, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), framesPerSecond,
                     size, true) &&
         writer.isOpened();
}

void record(cv::VideoWriter& writer, const cv::Mat& canvas) {
  writer.write(canvas);
}

void closeRecorder(cv::VideoWriter& writer) {
  writer.release();
}

VideoFileCheck checkVideoFile(const std::string& path) {
  VideoFileCheck check;
  cv::VideoCapture video;
  if (!openVideoFile(video, path)) return check;
  check.opened = true;
  check.frameCount = video.get(cv::CAP_PROP_FRAME_COUNT);
  check.frameSize = cv::Size(static_cast<int>(video.get(cv::CAP_PROP_FRAME_WIDTH)),
                             static_cast<int>(video.get(cv::CAP_PROP_FRAME_HEIGHT)));
  // The last frame is the one a full disk or a missing index loses first.
  if (check.frameCount >= 1.0) video.set(cv::CAP_PROP_POS_FRAMES, check.frameCount - 1.0);
  cv::Mat last;
  check.lastFrameDecodes = video.read(last) && !last.empty() && last.size() == check.frameSize;
  return check;
}

bool standardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}
