#pragma once

// Sends file descriptor 2 to /dev/null for as long as it lives. OpenCV's back-ends (FFmpeg,
// GStreamer, libpng) and Xlib write their own complaints straight to standard error while the
// tool probes an input, a recorder or a display; the tool's one line says what went wrong
// instead. Use only while no other thread has anything to say.
class QuietStderr {
 public:
  QuietStderr();
  ~QuietStderr();
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_ = -1;  // the original standard error; -1 when it could not be redirected
};
