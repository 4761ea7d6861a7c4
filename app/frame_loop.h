#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <vector>

#include <opencv2/core.hpp>

#include "app/model_wiring.h"
#include "display/fovea.h"
#include "retina/sensor.h"
#include "retina/sensor_mapping.h"

using SteadyTime = std::chrono::steady_clock::time_point;

// The program's retina: 4096 spiral points out to 32768 units, 12 satellites around the points
// within 8192 units of the centre and 6 around the others (30202 sensors).
constexpr std::int32_t kSpiralCount = 4096;
constexpr std::int32_t kRetinaDiameter = 65536;
constexpr std::int32_t kFovealRadius = 8192;
constexpr std::int32_t kFovealSatellites = 12;
constexpr std::int32_t kPeripheralSatellites = 6;

// Generates the program's retina; its console line goes to `out`.
Retina generateProgramRetina(std::ostream& out);

constexpr float kStepFraction = 0.3f;           // share of the centroid offset moved per frame
constexpr float kRetinaUnitsToEdge = 32768.0f;  // retina units from the centre to the nearest edge
constexpr int kKeyWaitMs = 1;
constexpr int kQuitKey = 27;    // ESC
constexpr int kResetKey = 114;  // lower-case 'r' only
constexpr double kLatencyPeriodSeconds = 2.0;

// The outside world as the frame loop sees it. The platform file fills it from the camera, the
// window and the keyboard; tests and the replay tool fill it with synthetic frames, scripted keys
// and a clock of their own.
struct FrameIo {
  std::function<void(cv::Mat& frame)> readFrame;  // blocks for the next image; empty at the end
  std::function<void(const cv::Mat& canvas)> showCanvas;
  std::function<int(int delayMs)> waitKey;  // the key code, -1 for none
  std::function<SteadyTime()> now = [] { return std::chrono::steady_clock::now(); };
};

// What one iteration did, for tools that watch the loop. Stage durations are real seconds
// measured on the steady clock, apart from `FrameIo::now`.
struct FrameStats {
  double read = 0.0;  // waiting for the frame and converting it: the camera's share
  double sampling = 0.0;
  double emission = 0.0;
  double modelStep = 0.0;  // the `afterEmission` hook (a stepped model iteration), if any
  double snapshots = 0.0;
  double fovea = 0.0;
  double rendering = 0.0;
  double overlay = 0.0;  // fovea marker and texts
  double work = 0.0;     // sampling to overlay, without the model step: the iteration's own work
  std::size_t eventsPushed = 0;
  std::int32_t frameTimeMs = 0;
};

// Optional observation points; the program itself leaves them empty.
struct FrameLoopHooks {
  std::function<void()> afterEmission;  // runs right after the frame's events are pushed
  std::function<void(const FrameStats&, const cv::Mat& canvas)> afterFrame;  // after the display
};

// The frame loop's long-lived objects, owned by the caller.
struct FrameLoopState {
  FoveaCenter center;                     // -1 until the first frame places it
  bool centerPlaced = false;              // set with retinaScale, once per run
  float retinaScale = 1.0f;               // pixels per retina unit, fixed by the first frame
  SensorOffsets offsets;                  // every sensor's pixel offset at retinaScale
  std::vector<std::uint8_t> hiddenDiscs;  // discs that later ones cover, at retinaScale
  cv::Mat frame;                     // the camera image, converted to 8-bit BGR; never drawn on
  cv::Mat canvas;                    // what the window shows
  std::vector<float> konioSnapshot;  // this frame's copy of the Konio activity
  std::vector<float> gainSnapshot;   // this frame's copy of the gains
  std::vector<float> emissionGains;  // scratch for the emission step
  SteadyTime lastLatencyPrint;       // when the last latency line was written
};

enum class LoopExit { emptyFrame, quitKey, stopped };

// Converts a frame to 8-bit BGR in place: 8-bit grey and BGRA are converted, 16-bit frames are
// scaled to 8 bits first. Returns false (frame untouched) for any other type.
bool toBgr8(cv::Mat& frame);

// Places the centre on the frame's middle, fixes `retinaScale` so that kRetinaUnitsToEdge
// retina units reach the nearest edge, and places the sensors at that scale. The frame loop does
// this on the first usable frame only: a later centre of -1 (the margin clamp on a frame under
// 100 pixels gives one) is an ordinary position, not a request to rescale.
void placeCenter(FrameLoopState& state, const Retina& retina);

// Runs iterations while `running` is set: read, place the centre on the first frame, sample and
// emit, snapshot the model, move the fovea, render, overlay, show, poll keys, and every more than
// 2 s write the latency line to `out`. A frame that cannot be converted to 8-bit BGR is skipped
// (only the key poll runs).
LoopExit runFrameLoop(const Retina& retina, Model& model, FrameLoopState& state, FrameIo& io,
                      std::atomic<bool>& running, std::ostream& out,
                      const FrameLoopHooks& hooks = {});

// How the model runs beside the frame loop.
enum class ModelMode {
  workerThread,  // the program's way: a worker thread drains the queue as events arrive
  // No thread: right after each frame's emission the main thread runs exactly one worker
  // iteration. Batches then no longer depend on thread scheduling, so runs repeat bit for bit.
  steppedAfterEmission,
};

struct SessionOptions {
  ModelMode modelMode = ModelMode::workerThread;
  std::function<double()> modelClock;  // stepped mode's batch time source; empty: the steady clock
  FrameLoopHooks hooks;
};

// Everything the program does between opening the camera and releasing it: generates the
// retina (which prints its sensor count), creates and starts the model, prints the banner and
// the key help, runs the frame loop, then clears the running flag and joins the worker.
struct SessionEnd {
  LoopExit exit;
  EventQueueStats queue;  // the event queue's counters when the worker had stopped
};
SessionEnd runSession(FrameIo& io, std::ostream& out, const SessionOptions& options = {});
