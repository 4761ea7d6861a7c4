#include "platform/platform.h"

#include <cmath>
#include <cstdlib>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>
#include <opencv2/videoio/registry.hpp>

#include <unistd.h>

#include "platform/x_display.h"

// FFmpeg prints its lines for every damaged frame of a whole run, not only while an input is
// tried: OpenCV reads OPENCV_FFMPEG_LOGLEVEL whenever it opens a file, and -8 is FFmpeg's
// AV_LOG_QUIET. A user who asks for FFmpeg's lines with either of OpenCV's variables gets them.
void quietBackends() {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  if (std::getenv("OPENCV_FFMPEG_DEBUG") == nullptr) setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);
}

struct CaptureDevice {
  cv::VideoCapture capture;
};

struct RecorderDevice {
  cv::VideoWriter writer;
};

Capture::Capture() : device_(std::make_unique<CaptureDevice>()) {}
Capture::~Capture() = default;

bool Capture::openCamera(int index) {
  quietBackends();
  return device_->capture.open(index, cv::CAP_ANY) && device_->capture.isOpened();
}

bool Capture::openFile(const std::string& path) {
  quietBackends();
  return device_->capture.open(path, cv::CAP_ANY) && device_->capture.isOpened();
}

void Capture::requestFrameSize(cv::Size size) {
  device_->capture.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(size.width));
  device_->capture.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(size.height));
}

void Capture::read(cv::Mat& frame) {
  device_->capture >> frame;
}

CaptureInfo Capture::info() {
  const auto sane = [](double value, double most) {
    return std::isfinite(value) && value > 0.0 && value <= most ? value : 0.0;
  };
  CaptureInfo info;
  info.frameCount = sane(device_->capture.get(cv::CAP_PROP_FRAME_COUNT), 1e12);
  info.framesPerSecond = sane(device_->capture.get(cv::CAP_PROP_FPS), 1000.0);
  return info;
}

void Capture::close() {
  device_->capture.release();
}

Recorder::Recorder() : device_(std::make_unique<RecorderDevice>()) {}
Recorder::~Recorder() = default;

bool Recorder::open(const std::string& path, cv::Size size, double framesPerSecond) {
  quietBackends();
  const int backend =
      cv::videoio_registry::hasBackend(cv::CAP_FFMPEG) ? cv::CAP_FFMPEG : cv::CAP_OPENCV_MJPEG;
  cv::VideoWriter& writer = device_->writer;
  return writer.open(path, backend, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), framesPerSecond,
                     size, true) &&
         writer.isOpened();
}

void Recorder::write(const cv::Mat& canvas) {
  device_->writer.write(canvas);
}

void Recorder::close() {
  device_->writer.release();
}

VideoFileCheck checkVideoFile(const std::string& path) {
  VideoFileCheck check;
  cv::VideoCapture video;
  quietBackends();
  if (!video.open(path, cv::CAP_ANY) || !video.isOpened()) return check;
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

Display windowDisplay(bool watchX) {
  Display display;
  display.show = [](const cv::Mat& canvas) { cv::imshow(kWindowTitle, canvas); };
  display.waitKey = [](int delayMs) { return cv::waitKey(delayMs); };
  std::shared_ptr<XWindowWatch> watch;
  if (watchX) watch = std::make_shared<XWindowWatch>();
  display.closed = [watch] {
    return cv::getWindowProperty(kWindowTitle, cv::WND_PROP_VISIBLE) < 1.0 ||
           (watch && watch->destroyed(kWindowTitle));
  };
  return display;
}

FrameIo windowIo(Capture& capture) {
  FrameIo io;
  io.readFrame = [&capture](cv::Mat& frame) { capture.read(frame); };
  io.display = windowDisplay();
  return io;
}

void closeAllWindows() {
  cv::destroyAllWindows();
}

bool standardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}
