#include "apps/demo/demo_loop.h"

#include <ostream>

#include "session/console_lines.h"

DemoEnd runDemo(FrameIo& io, std::ostream& out, const SessionConfig& config) {
  Session session(config);
  printBanner(out, session.sensorCount(), true);

  LoopExit exit = LoopExit::emptyFrame;
  cv::Mat frame;
  for (;;) {
    const SteadyTime t0 = session.now();
    io.readFrame(frame);
    if (frame.empty()) break;
    const SteadyTime t1 = session.now();  // capture time: every event of this frame carries it

    const FrameResult result = session.step(frame, t0, t1);
    if (result.drawn) io.showCanvas(result.canvas);
    if (applyKey(session, io.waitKey(kKeyWaitMs))) {
      exit = LoopExit::quitKey;
      break;
    }
    if (result.drawn && session.latencyDue(session.now())) printLatency(out, result.frameTimeMs);
  }
  return {exit, session.stop()};
}
