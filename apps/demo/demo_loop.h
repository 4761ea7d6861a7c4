#pragma once

#include <iosfwd>

#include "platform/frame_io.h"
#include "session/session.h"

enum class LoopExit { emptyFrame, quitKey };

struct DemoEnd {
  LoopExit exit;
  EventQueueStats queue;  // the event queue's counters once the worker had stopped
};

// The demo from the retina on: the session (which prints the sensor count and starts the
// worker), the banner and the key help, then one iteration per frame read from `io` and timed
// by `clock` (read, the session's step, show, a 1 ms key poll, the latency check) until an empty
// frame or ESC, then the worker joined. A frame that cannot be converted is not shown and gets
// no latency check, but its key poll still runs.
DemoEnd runDemo(FrameIo& io, FrameClock& clock, std::ostream& out,
                const SessionConfig& config = {});
