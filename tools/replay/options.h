#pragma once

// retina-replay's command line: what to run on, how, and what to write.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "app/frame_io.h"

enum class ReplaySource { synthetic, video, image, camera };

struct ReplayOptions {
  ReplaySource source = ReplaySource::synthetic;
  std::string inputPath;                // --video / --image
  int cameraIndex = 0;                  // --camera
  cv::Size sceneSize = kDemoFrameSize;  // --size, synthetic scene only
  std::int64_t frames = 0;              // --frames; 0: the source's default (see frameLimit)
  bool headless = false;                // --headless
  bool deterministic = false;           // --deterministic
  std::string outPath;                  // --out, MJPG AVI
  std::int64_t snapshotFrame = 0;       // --snapshot N:FILE, 1 = the first frame
  std::string snapshotPath;

  // The data files: see exports.h.
  std::string exportPath;              // --export, HDF5
  bool exportGains = false;            // --export-gains: also every frame's gains and Konio
  std::string statsPath;               // --stats, CSV
  std::vector<std::string> arguments;  // as given, for the export's record of the command line

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
