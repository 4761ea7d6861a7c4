#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "display/fovea.h"
#include "display/overlay.h"
#include "display/render.h"
#include "model/model.h"
#include "model/model_worker.h"
#include "retina/fibonacci_retina.h"
#include "retina/sensor.h"
#include "retina/sensor_mapping.h"
#include "session/fovea_path.h"
#include "session/frame_clock.h"
#include "session/parameters.h"

constexpr int kKeyWaitMs = 1;
constexpr int kQuitKey = 27;    // ESC
constexpr int kResetKey = 114;  // lower-case 'r' only
constexpr double kLatencyPeriodSeconds = 2.0;

struct SessionConfig {
  Parameters parameters;  // the retina's layout, the model's, the fovea's and the drawing's
  FoveaControl fovea;     // who moves the fovea centre: the model (default), nobody, a path
  ModelMode modelMode = ModelMode::workerThread;
  // Keep every event the queue receives, for FrameResult::events. Costs the stepped emission its
  // shortcut: the events that the queue bound displaces at once are built and kept too.
  bool recordEvents = false;
  // The latency timer's start; empty: the steady clock, read once the session is made.
  std::optional<SteadyTime> start;
  // Hears how far the retina's layout is while the constructor builds it; its false abandons the
  // session, whose constructor then throws LayoutCancelled.
  LayoutProgress layoutProgress;
};

// The session of a run whose frames are read by `clock`: the stepped model on a deterministic
// clock, the worker thread on the steady one.
SessionConfig sessionConfig(const Parameters& parameters, FoveaControl fovea,
                            const FrameClock& clock);

// The frame's long-lived objects, owned by the session.
struct FrameLoopState {
  FoveaCenter center;         // placed by the first usable frame
  bool centerPlaced = false;  // set with retinaScale, once per session
  // Pixels per retina unit, fixed by the first frame: diameter / 2 retina units span the
  // distance from the frame's middle to its nearest edge.
  float retinaScale = 1.0f;
  cv::Size placedFrameSize;      // the frame that placed the centre and fixed the scale
  std::int64_t framesDrawn = 0;  // 1 while the first frame is being drawn
  std::size_t nextWaypoint = 0;  // the fovea path's next waypoint
  SensorOffsets offsets;         // every sensor's pixel offset at retinaScale
  PackedSensors packed;          // what sampling and the fovea read of each sensor, at retinaScale
  DiscRecords discs;             // what rendering reads: the same with the hidden discs flagged
  cv::Mat frame;                 // the current frame as 8-bit BGR; never drawn on
  cv::Mat canvas;                // what the window shows
  std::vector<float> konioSnapshot;  // this frame's copy of the Konio activity
  std::vector<float> gainSnapshot;   // this frame's copy of the gains
  std::vector<float> activations;    // this frame's samples, one per sensor
  std::vector<float> emissionGains;  // scratch for the emission step
  OverlayStamps overlay;             // the marker's and the texts' pixels, traced once
  SteadyTime lastLatencyPrint;       // when the last latency line was written
  std::int32_t frameTimeMs = 0;      // the last drawn frame's
};

// Real seconds per stage of one frame, on the steady clock whatever the session's clock says.
struct StageSeconds {
  double convert = 0.0;  // converting the frame to 8-bit BGR (and placing the centre)
  double sampling = 0.0;
  double emission = 0.0;
  double modelStep = 0.0;  // the stepped mode's worker iteration; 0 with the worker thread
  double snapshots = 0.0;
  double fovea = 0.0;
  double rendering = 0.0;
  double overlay = 0.0;  // fovea marker and texts
  // Sampling to overlay without the model step: the frame's own work.
  double work() const { return sampling + emission + snapshots + fovea + rendering + overlay; }
};

// Why a frame was not drawn.
enum class FrameRefusal {
  none,
  pixelType,         // its pixel type cannot be converted to 8-bit BGR
  tooLarge,          // the first usable frame is too large to place the sensors on
  foveaPathOutside,  // the fovea path leaves the first frame's picture
};

// What one frame did.
struct FrameResult {
  bool drawn = false;  // false: the frame is refused, and no stage ran
  FrameRefusal refused = FrameRefusal::none;
  std::string refusal;  // why, when not drawn: "it is ...", "its ... cannot ...", the path's cause
  StageSeconds seconds;
  std::size_t eventsPushed = 0;  // the frame marker included
  double captureTime = 0.0;      // t1 in seconds: the time stamp of every event of the frame
  // The centre the frame's sensors were sampled around, so the pixel of every event of the frame
  // (a waypoint for this frame or the reset key may have moved it since the previous frame).
  FoveaCenter sampledCenter;
  FoveaCenter center;            // after the fovea update: the centre the frame was drawn around
  std::int32_t frameTimeMs = 0;  // from t0 to the fovea marker, as the overlay shows it
  EventQueueStats queue{};       // the event queue's counters after the frame's stages
  // Views into the session, valid until its next frame: the canvas (shared, not copied) and the
  // gains and Konio activity the frame was drawn with, one value per sensor.
  cv::Mat canvas;
  const std::vector<float>* gains = nullptr;
  const std::vector<float>* konio = nullptr;
  const std::vector<float>* activations = nullptr;  // the frame's samples, one per sensor
  std::int64_t number = 0;                          // frames drawn, this one included
  // recordEvents only, a view valid until the next frame (Session::takeFrameEvents keeps them):
  // every event the queue received since the previous frame's, [0, loopEvents) pushed by the
  // frame loop (the frame marker first), then the Konio outputs the model pushed, each part in
  // push order.
  const std::vector<RetinaEvent>* events = nullptr;
  std::size_t loopEvents = 0;
};

// Where the first usable frame placed the retina; fixed for the rest of the session. Views into
// the session, valid while it lives.
struct RetinaPlacement {
  const std::vector<Sensor>* sensors = nullptr;
  const SensorOffsets* offsets = nullptr;  // every sensor's pixel offset from the centre
  float retinaScale = 1.0f;                // pixels per retina unit
  cv::Size frameSize;                      // of the frame that placed it
};

// One run of the retina: the retina, the model with its worker thread (or the stepped mode) and
// the state that carries from frame to frame. Each program owns its loop and calls `step` once
// per frame it reads. Main thread only.
class Session {
 public:
  // Generates the retina, creates the model and starts the worker thread (workerThread mode).
  // Writes nothing: the caller prints the banner (console_lines.h).
  // Throws std::invalid_argument with validateParameters' message for invalid parameters.
  explicit Session(SessionConfig config);
  ~Session();  // stops as `stop` does
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs one frame's stages on `frame` (any type; converted to 8-bit BGR, never written), with
  // the clock readings of its loop: on the first usable frame the centre is placed and the scale
  // fixed; a fovea path's waypoint for this frame moves the centre; then sampling and emission
  // stamped `times.capture`, the model snapshots, the fovea update (the model's fovea only), the
  // rendering and the fovea marker, then the texts with the frame time (`times.start` to
  // `times.marked`). A frame of a type that cannot be converted, a first usable frame too large
  // to place the sensors on, or one that a fovea path leaves, is refused (FrameResult::refused)
  // and changes nothing.
  FrameResult step(const cv::Mat& frame, const FrameTimes& times);

  // After a drawn frame (recordEvents): swaps its events (FrameResult::events) into `into`, whose
  // storage the session takes for later frames' events. A caller that keeps each frame's events
  // this way copies none.
  void takeFrameEvents(std::vector<RetinaEvent>& into) { into.swap(frameEvents_); }

  // After stop (recordEvents): the events the model pushed after the last frame's were taken.
  std::vector<RetinaEvent> takeEventsAfterLastFrame();

  // The reset key: the centre back to the middle of the current frame; the scale stays.
  // Nothing happens before the centre has been placed.
  void recenter();

  // Whether the latency line (printLatency, with the last frame's time) is due: more than 2 s
  // have passed since it was last due (or the session's start), as seen at `t3`.
  bool latencyDue(SteadyTime t3);

  // Clears the running flag and joins the worker thread; returns the queue's counters then.
  // Safe to call more than once.
  EventQueueStats stop();

  const Retina& retina() const { return retina_; }
  bool placed() const { return state_.centerPlaced; }  // the first usable frame has been drawn
  std::int64_t framesDrawn() const { return state_.framesDrawn; }
  // Everything that carries from frame to frame, for the tests and the benchmark, which look
  // inside; the programs, the run library and the Python module read FrameResult instead.
  const FrameLoopState& state() const { return state_; }
  const FoveaControl& fovea() const { return config_.fovea; }
  // After the first drawn frame.
  RetinaPlacement placement() const {
    return {&retina_.sensors, &state_.offsets, state_.retinaScale, state_.placedFrameSize};
  }
  EventQueueStats queueStats() { return model_.queue.stats(); }
  std::size_t sensorCount() const { return retina_.sensors.size(); }

 private:
  // Centres the retina on the first usable frame and fixes the scale; false, nothing placed,
  // when the sensors cannot be packed at that scale (a frame over 65534 pixels on its shorter
  // side).
  bool placeCenter();
  void followPath();
  // Moves the queue's log of this frame into frameEvents_, the Konio outputs last.
  void collectFrameEvents(FrameResult& result);

  SessionConfig config_;
  Retina retina_;
  Model model_;
  FrameLoopState state_;
  std::atomic<bool> running_{false};
  WorkerContext stepped_;             // the stepped mode's worker state
  double batchTime_ = 0.0;            // the stepped model's batch time for the frame being stepped
  std::vector<RetinaEvent> pushLog_;  // recordEvents: the queue appends here, under its mutex
  std::vector<RetinaEvent> frameEvents_;  // recordEvents: the last frame's events
  std::vector<RetinaEvent> konioScratch_;
  std::size_t expectedEvents_ = 0;  // room to give the next frame's log
  ModelWorkerThread worker_;        // last: destroyed (joined) first
};

// Converts a frame to 8-bit BGR in place: 8-bit grey and BGRA are converted, 16-bit frames are
// scaled to 8 bits first. Returns false (frame untouched) for any other type.
bool convertToBgr8(cv::Mat& frame);

// Applies a key as the demo does: the reset key recentres, the quit key asks to stop (returns
// true). The key code is compared whole; any other value, -1 for none, changes nothing.
bool applyKey(Session& session, int key);
