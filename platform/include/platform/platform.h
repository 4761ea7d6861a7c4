#pragma once

#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "platform/frame_io.h"

// The only code that talks to the camera, the window, the keyboard and the recorder (OpenCV
// videoio and highgui); the X server and standard error have their files beside this one.
// Everything else runs the same on synthetic frames and scripted keys. No device type leaves the
// platform: Capture and Recorder hold theirs out of sight.

constexpr char kWindowTitle[] = "Retina Quillaventora C++";

// What a video or camera says of itself; 0 where it does not say (or says nonsense).
struct CaptureInfo {
  double frameCount = 0.0;       // a file's length in frames, from its header or index
  double framesPerSecond = 0.0;  // the nominal rate
};

// Keeps OpenCV's own warnings ("[ WARN:0@0.047] ... findDecoder ...") and FFmpeg's lines off
// standard error from now on, for the whole process: the program's messages about an input are
// its own. Every capture and recorder calls it; so does the Python module when it is imported.
void quietBackends();

// A camera or a video file (anything OpenCV's capture reads), any back-end. Back-end warnings
// are silenced: the program's messages about an input are its own.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  bool openCamera(int index);
  bool openFile(const std::string& path);
  // Asks for a frame size; the camera may ignore it, and the frame loop copes with any size.
  void requestFrameSize(cv::Size size);
  // The next frame into `frame`; empty at the end of the input.
  void read(cv::Mat& frame);
  CaptureInfo info();
  void close();

 private:
  std::unique_ptr<struct CaptureDevice> device_;
};

// Canvases into an MJPG AVI file. FFmpeg writes it where OpenCV has it, else OpenCV's own MJPG
// writer; no other back-end is tried, so a size FFmpeg refuses is refused here instead of
// falling back to a writer that makes an unreadable file.
class Recorder {
 public:
  Recorder();
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  bool open(const std::string& path, cv::Size size, double framesPerSecond);
  void write(const cv::Mat& canvas);
  void close();

 private:
  std::unique_ptr<struct RecorderDevice> device_;
};

// A finished video file read back: what its header says and whether its last frame decodes.
struct VideoFileCheck {
  bool opened = false;
  double frameCount = 0.0;
  cv::Size frameSize;
  bool lastFrameDecodes = false;
};
VideoFileCheck checkVideoFile(const std::string& path);

// The window kWindowTitle, which the first show creates: closed once it is gone or hidden (its
// close button, or the window destroyed behind the toolkit's back, which `watchX` makes it look
// for through the X server).
Display windowDisplay(bool watchX = false);

// Frames from `capture`, canvases and keys through the window.
FrameIo windowIo(Capture& capture);

void closeAllWindows();

// Whether standard error is a terminal, where a progress line may be drawn.
bool standardErrorIsTerminal();
