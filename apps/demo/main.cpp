// The live demo: camera 0 seen through a Fibonacci retina, with the Konio/TRN model running on a
// worker thread. No arguments, no configuration.
#include <iostream>

#include "apps/demo/demo_loop.h"
#include "platform/platform.h"

int main() {
  Capture camera;
  if (!camera.openCamera(0)) {
    std::cerr << "Eroare: nu s-a putut deschide camera.\n";
    return -1;
  }
  camera.requestFrameSize(kDemoFrameSize);

  FrameIo io = windowIo(camera);
  FrameClock clock;               // the steady clock
  runDemo(io, clock, std::cout);  // ends with the worker joined

  camera.close();
  closeAllWindows();
  return 0;
}
