#pragma once

// retina-replay's command line: what to run on, how, and what to write.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "frame_input/frame_input.h"
#include "platform/frame_io.h"
#include "session/fovea_path.h"
#include "session/parameters.h"

// --snapshot N:FILE.png
struct SnapshotRequest {
  std::int64_t frame = 0;  // 1 = the first frame drawn
  std::string path;
};

struct ReplayOptions {
  InputKind source = InputKind::synthetic;
  std::string inputPath;                // --video / --image
  int cameraIndex = 0;                  // --camera
  cv::Size sceneSize = kDemoFrameSize;  // --size, synthetic scene only
  std::int64_t frames = 0;              // --frames; 0: the source's default (see frameLimit)
  bool headless = false;                // --headless
  bool deterministic = false;           // --deterministic
  bool fast = false;                    // --fast: a window shows frames as fast as they come
  std::string configPath;               // --config, TOML: the parameters (see parameter_file.h)
  bool printConfig = false;             // --print-config: write the parameter file and stop
  bool checkDisplay = false;            // --check-display: whether a window can open, and stop
  FoveaMode fovea = FoveaMode::model;   // --fovea fixed, or path with --fovea-path
  std::string foveaPathFile;            // --fovea-path, CSV: frame,cx,cy
  std::string outPath;                  // --out, MJPG AVI
  std::vector<SnapshotRequest> snapshots;

  // The data files: see exports.h.
  std::string exportPath;              // --export, HDF5
  bool exportGains = false;            // --export-gains: also every frame's gains and Konio
  std::string statsPath;               // --stats, CSV
  std::vector<std::string> arguments;  // as given, for the export's record of the command line
  // In process only (quillaventora.export_clip's writer_thread): false writes each frame's
  // export rows on the frame loop's thread right after the frame, so that a run keeps to one
  // thread; the file is the same.
  bool exportWriterThread = true;

  bool help = false;
  bool version = false;

  // Parameters handed over in process instead of --config (the Python module's export_clip);
  // the run records them as coming from no file.
  std::optional<Parameters> parameters;
};

constexpr std::int64_t kDefaultReplayFrames = 300;  // synthetic scene and still images
// The most frames --frames and --snapshot take: the export numbers frames with 32-bit integers.
constexpr std::int64_t kMostFrames = 2147483647;

// Exit statuses. A run stopped by signal N (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE) ends like
// any other, outputs complete, and exits with 128 + N.
constexpr int kReplayDone = 0;        // the run ended: input or frame limit, ESC, window closed
constexpr int kReplayFailed = 1;      // an output or standard output could not be completed
constexpr int kReplayUsageError = 2;  // refused before the run: option, input or output
constexpr int kReplaySignalBase = 128;

// Frames to run: --frames, or 300 for the synthetic scene and images, or 0 (no limit) for a
// video (until it ends) and a camera (until ESC).
std::int64_t frameLimit(const ReplayOptions& options);

// The input that the options name, with that limit.
InputRequest inputRequest(const ReplayOptions& options);

struct ParsedOptions {
  ReplayOptions options;
  std::string error;  // empty when the arguments are valid
};

// Parses the arguments after the program name. Every problem becomes one message in `error`.
// --help, then --version, answer whatever else the line holds, invalid options included, except
// where they stand as another option's value. A value is never taken for an option: one that
// starts with '-' is refused ("./-name" names such a file). Every option but --snapshot may be
// given once.
ParsedOptions parseReplayOptions(const std::vector<std::string>& args);

std::string replayUsage();
std::string replayVersion();  // "retina-replay " and the project's version
