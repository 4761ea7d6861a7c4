// The live demo: camera 0 seen through a Fibonacci retina, with the Konio/TRN model running on a
// worker thread. No arguments, no configuration.
#include <iostream>

#include "apps/demo/demo_loop.h"
#include "platform/platform.h"

int main() {
  cv::VideoCapture camera;
  if (!openCamera(camera, 0)) {
    std::cerr << "Eroare: nu s-a putut deschide camera.\n";
    return -1;
  }
  requestFrameSize(camera, kDemoFrameSize);

  FrameIo io = windowIo(camera);
  FrameClock clock;               // the steady clock
  runDemo(io, clock, std::cout);  // ends with the worker joined

  closeCapture(camera);
  closeAllWindows();
  return 0;
}
