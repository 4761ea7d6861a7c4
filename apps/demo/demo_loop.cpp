#include "apps/demo/demo_loop.h"

#include <ostream>

#include "session/console_lines.h"

DemoEnd runDemo(FrameIo& io, FrameClock& clock, std::ostream& out, const SessionConfig& config) {
  Session session(config);
  printBanner(out, session.sensorCount(), true);

  LoopExit exit = LoopExit::emptyFrame;
  cv::Mat frame;
  for (;;) {
    const FrameTimes times = clock.timeRead([&] { io.readFrame(frame); });
    if (frame.empty()) break;

    const FrameResult result = session.step(frame, times);
    if (result.drawn) io.display.show(result.canvas);
    if (applyKey(session, io.display.waitKey(kKeyWaitMs))) {
      exit = LoopExit::quitKey;
      break;
    }
    if (result.drawn && session.latencyDue(clock.now())) printLatency(out, result.frameTimeMs);
  }
  return {exit, session.stop()};
}
