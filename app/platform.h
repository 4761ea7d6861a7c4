#pragma once

#include <string>

#include <opencv2/videoio.hpp>

#include "app/frame_io.h"

// The only code that talks to the camera, the window and the keyboard (OpenCV videoio and
// highgui). Everything else runs the same on synthetic frames and scripted keys.

constexpr char kWindowTitle[] = "Retina Quillaventora C++";

// Opens a camera by device index with any back-end. Back-end warnings are silenced: the
// program's only message about a missing camera is its own.
bool openCamera(cv::VideoCapture& capture, int index);

// Opens a video or image file (anything cv::VideoCapture reads).
bool openVideoFile(cv::VideoCapture& capture, const std::string& path);

// The next frame of `capture` into `frame`; empty at the end of the input.
void readFrom(cv::VideoCapture& capture, cv::Mat& frame);

void closeCapture(cv::VideoCapture& capture);

// Asks for a frame size; the camera may ignore it, and the frame loop copes with any size.
void requestFrameSize(cv::VideoCapture& capture, cv::Size size);

// Shows `canvas` in the window kWindowTitle, which the first call creates.
void showInWindow(const cv::Mat& canvas);

// Waits up to `delayMs` for a key in the window; the key code, -1 for none.
int pollKey(int delayMs);

// Frames from `capture`, canvases to showInWindow, keys from pollKey.
FrameIo windowIo(cv::VideoCapture& capture);

void closeAllWindows();

// Opens `path` for canvases of `size` as MJPG AVI at `framesPerSecond`.
bool openRecorder(cv::VideoWriter& writer, const std::string& path, cv::Size size,
                  double framesPerSecond);
void record(cv::VideoWriter& writer, const cv::Mat& canvas);
void closeRecorder(cv::VideoWriter& writer);
