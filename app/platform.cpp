#include "app/platform.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>

namespace {

void quietBackends() {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
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

void showInWindow(const cv::Mat& canvas) {
  cv::imshow(kWindowTitle, canvas);
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
  return writer.open(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), framesPerSecond, size,
                     true) &&
         writer.isOpened();
}

void record(cv::VideoWriter& writer, const cv::Mat& canvas) {
  writer.write(canvas);
}

void closeRecorder(cv::VideoWriter& writer) {
  writer.release();
}
