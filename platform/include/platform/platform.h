#pragma once

#include <string>

#include <opencv2/videoio.hpp>

#include "platform/frame_io.h"

// The only code that talks to the camera, the window, the keyboard and the recorder (OpenCV
// videoio and highgui); the X server and standard error have their files beside this one.
// Everything else runs the same on synthetic frames and scripted keys.

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

// What a video or camera says of itself; 0 where it does not say (or says nonsense).
struct CaptureInfo {
  double frameCount = 0.0;       // a file's length in frames, from its header or index
  double framesPerSecond = 0.0;  // the nominal rate
};
CaptureInfo captureInfo(cv::VideoCapture& capture);

// Shows `canvas` in the window kWindowTitle, which the first call creates.
void showInWindow(const cv::Mat& canvas);

// After the first showInWindow: true once the window is gone or hidden (its close button, or
// the window destroyed behind the toolkit's back). A later showInWindow would bring it back.
bool windowClosed();

// Waits up to `delayMs` for a key in the window; the key code, -1 for none.
int pollKey(int delayMs);

// Frames from `capture`, canvases to showInWindow, keys from pollKey.
FrameIo windowIo(cv::VideoCapture& capture);

void closeAllWindows();

// Opens `path` for canvases of `size` as MJPG AVI at `framesPerSecond`. FFmpeg writes it where
// OpenCV has it, else OpenCV's own MJPG writer; no other back-end is tried, so a size FFmpeg
// refuses is refused here instead of falling back to a writer that makes an unreadable file.
bool openRecorder(cv::VideoWriter& writer, const std::string& path, cv::Size size,
                  double framesPerSecond);
void record(cv::VideoWriter& writer, const cv::Mat& canvas);
void closeRecorder(cv::VideoWriter& writer);

// A finished video file read back: what its header says and whether its last frame decodes.
struct VideoFileCheck {
  bool opened = false;
  double frameCount = 0.0;
  cv::Size frameSize;
  bool lastFrameDecodes = false;
};
VideoFileCheck checkVideoFile(const std::string& path);

// Whether standard error is a terminal, where a progress line may be drawn.
bool standardErrorIsTerminal();
