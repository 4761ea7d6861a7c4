#pragma once

// The replay tool's pieces that do not touch a device: its options, its fixed frame clock and
// its summary. The tool itself (replay_main.cpp) wires them to the program's own session.

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "app/frame_loop.h"

enum class ReplaySource { synthetic, video, image, camera };

struct ReplayOptions {
  ReplaySource source = ReplaySource::synthetic;
  std::string inputPath;           // --video / --image
  int cameraIndex = 0;             // --camera
  cv::Size sceneSize{1280, 720};   // --size, synthetic scene only
  std::int64_t frames = 0;         // --frames; 0: the source's default (see frameLimit)
  bool headless = false;           // --headless
  bool deterministic = false;      // --deterministic
  std::string outPath;             // --out, MJPG AVI
  std::int64_t snapshotFrame = 0;  // --snapshot N:FILE, 1 = the first frame
  std::string snapshotPath;
  bool help = false;
};

constexpr std::int64_t kDefaultReplayFrames = 300;  // synthetic scene and still images
constexpr int kReplayUsageError = 2;                // exit status for a bad option, input or output

// Frames to run: --frames, or 300 for the synthetic scene and images, or 0 (no limit) for a
// video (until it ends) and a camera (until ESC).
std::int64_t frameLimit(const ReplayOptions& options);

struct ParsedOptions {
  ReplayOptions options;
  std::string error;  // empty when the arguments are valid
};

// Parses the arguments after the program name. Every problem becomes one message in `error`.
ParsedOptions parseReplayOptions(const std::vector<std::string>& args);

std::string replayUsage();

// The deterministic mode's clock: starts at the steady clock's epoch and advances by exactly
// 1/30 s at every frame read, whatever the real time.
class FixedFrameClock {
 public:
  void advance() { ++frames_; }
  SteadyTime now() const { return SteadyTime(std::chrono::nanoseconds(frames_ * 1000000000 / 30)); }
  double seconds() const { return steadySeconds(now()); }

 private:
  std::int64_t frames_ = 0;
};

// Collects what every frame did and prints medians, 95th percentiles and totals.
class ReplaySummary {
 public:
  void add(const FrameStats& stats);
  void noteMemory(std::int64_t frameNumber);  // after each frame: keeps frame 100's and the last
  void print(std::ostream& out, const EventQueueStats& queue, bool deterministic) const;

  std::size_t frames() const { return frames_.size(); }

 private:
  std::vector<FrameStats> frames_;
  double residentAfter100Mb_ = -1.0;  // -1: not reached
  double residentLastMb_ = -1.0;
  double residentPeakMb_ = -1.0;
};

// Resident set size and its peak (VmHWM) of this process, in MiB; -1 where unavailable.
double residentMemoryMb();
double peakResidentMemoryMb();

// Runs the replay: opens the input and checks the outputs before anything is written, runs the
// program's own session on it, and prints the console lines and the summary to `out`, messages
// to `err`. `onCanvas` sees every canvas as shown. Returns the exit status: 0 after a run,
// kReplayUsageError for an input or output that cannot be opened (no output file is left then).
int runReplay(ReplayOptions options, std::ostream& out, std::ostream& err,
              const std::function<void(const cv::Mat& canvas)>& onCanvas = {});
