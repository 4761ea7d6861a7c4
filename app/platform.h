#pragma once

#include <string>

#include <opencv2/videoio.hpp>

#include "app/frame_loop.h"

// The only code that talks to the camera, the window and the keyboard (OpenCV videoio and
// highgui). Everything else runs the same on synthetic frames and scripted keys.

constexpr char kWindowTitle[] = "Retina Quillaventora C++";

// Opens a camera by device index with any back-end. Back-end warnings are silenced: the
// program's only message about a missing camera is its own.
bool openCamera(cv::VideoCapture& capture, int index);

// Opens a video or image file (anything cv::VideoCapture reads).
bool openVideoFile(cv::VideoCapture& capture, const std::string& path);

// The next frame of `capture` into `frame`; false (and `frame` empty) at the end of the input.
bool readFrom(cv::VideoCapture& capture, cv::Mat& frame);

void closeCapture(cv::VideoCapture& capture);

// Asks for a frame size; the camera may ignore it, and the frame loop copes with any size.
void requestFrameSize(cv::VideoCapture& capture, double width, double height);

// Frames from `capture`, the canvas shown in the window kWindowTitle (created by the first
// show), keys from cv::waitKey.
FrameIo windowIo(cv::VideoCapture& capture);

// Frames from `capture` with no window: nothing is shown and no key is ever pressed.
FrameIo headlessIo(cv::VideoCapture& capture);

void closeAllWindows();

// Opens `path` for canvases of `size` as MJPG AVI at 30 frames per second.
bool openRecorder(cv::VideoWriter& writer, const std::string& path, cv::Size size);
void record(cv::VideoWriter& writer, const cv::Mat& canvas);
void closeRecorder(cv::VideoWriter& writer);
