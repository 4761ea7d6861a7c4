#pragma once

// A session for a caller that hands it frames one at a time and takes each frame's events (the
// Python module). Its clocks are retina-replay's: deterministic, every frame's canvas and events
// are those of `retina-replay --deterministic` on the same frames, bit for bit.

#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "model/event_queue.h"
#include "session/fovea_path.h"
#include "session/frame_clock.h"
#include "session/parameters.h"
#include "session/session.h"

struct SessionRunnerConfig {
  Parameters parameters;
  FoveaControl fovea;
  // The stepped model and the frame clock (+1/30 s per frame), as retina-replay --deterministic;
  // false: the model's worker thread and the steady clock, as the demo runs.
  bool deterministic = true;
  // Keep every event the queue receives (its push log). Costs the stepped emission its shortcut:
  // the events that the queue bound displaces at once are built and logged too.
  bool recordEvents = true;
};

struct RunnerFrame {
  FrameResult result;
  // Not empty when a fovea path leaves the first frame's picture (checkFoveaPathInside's
  // message): the frame is not stepped, and the next one is the first again.
  std::string foveaPathRefusal;
  // The frame's events (recordEvents only): events[0, loopEvents) are what the frame loop pushed,
  // the frame marker first, as the export's /events holds them; the rest are the Konio outputs
  // the model pushed since the previous frame's events were taken, as in /konio_events.
  std::size_t loopEvents = 0;
};

// Main thread only, like the session; the worker thread (live) runs as in the demo.
class SessionRunner {
 public:
  // Generates the retina and creates the session, which writes nothing; the fovea path moves
  // into the session. Throws std::invalid_argument with validateParameters' message for invalid
  // parameters.
  explicit SessionRunner(SessionRunnerConfig config);
  SessionRunner(const SessionRunner&) = delete;
  SessionRunner& operator=(const SessionRunner&) = delete;

  // One frame, clocked as retina-replay's loop clocks it: t0 is read, the frame clock advances
  // (deterministic), t1 is read, then the session steps. `events` receives the frame's events
  // (recordEvents; emptied otherwise, and for a frame that was not drawn). A caller that passes
  // the same few vectors back allocates nothing once they have grown. On the first frame a fovea
  // path is checked against the picture first (RunnerFrame::foveaPathRefusal).
  RunnerFrame step(const cv::Mat& frame, std::vector<RetinaEvent>& events);

  // Joins the worker thread (live) and returns the queue's counters; safe to call again.
  EventQueueStats stop() { return session_.stop(); }

  Session& session() { return session_; }
  const Session& session() const { return session_; }
  bool deterministic() const { return deterministic_; }
  bool recordsEvents() const { return recordEvents_; }

 private:
  FixedFrameClock clock_;                  // deterministic only
  std::vector<RetinaEvent> log_;           // live: the queue's push log
  std::vector<RetinaEvent> konioScratch_;  // for putting the Konio outputs last
  std::size_t expectedEvents_ = 0;         // room to give the next log
  bool recordEvents_ = true;
  bool deterministic_ = true;
  Session session_;  // last: its clocks read clock_, its queue writes log_
};
