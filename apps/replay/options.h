#pragma once

// retina-replay's command line: one table of options that fills a RunSpec, and what the tool
// does besides running.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "run/run_spec.h"

struct ReplayCommand {
  RunSpec runSpec;            // the input, the frame limit, the mode, the fovea and the outputs
  std::string configPath;     // --config, TOML, read into runSpec.parameters (see loadRunFiles)
  std::string foveaPathFile;  // --fovea-path, CSV: frame,cx,cy, read into runSpec.fovea.path
  std::int64_t frames = 0;    // --frames; 0: the source's default (see frameLimit)
  bool headless = false;      // --headless
  bool fast = false;          // --fast: a window shows frames as fast as they come
  bool printConfig = false;   // --print-config: write the parameter file and stop
  bool checkDisplay = false;  // --check-display: whether a window can open, and stop
  bool help = false;
  bool version = false;
};

constexpr std::int64_t kDefaultReplayFrames = 300;  // synthetic scene and still images
// The most frames --frames and --snapshot take: the export numbers frames with 32-bit integers.
constexpr std::int64_t kMostFrames = 2147483647;

// Exit statuses. A run stopped by signal N (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, or any
// other that ends a process by default, but a fault of the program's own) ends like any other,
// outputs complete, and exits with 128 + N.
constexpr int kReplayDone = 0;        // the run ended: input or frame limit, ESC, window closed
constexpr int kReplayFailed = 1;      // an output or standard output could not be completed
constexpr int kReplayUsageError = 2;  // refused before the run: option, input or output
constexpr int kReplaySignalBase = 128;

// Frames to run: --frames, or 300 for the synthetic scene and images, or 0 (no limit) for a
// video (until it ends) and a camera (until ESC).
std::int64_t frameLimit(const ReplayCommand& command);

struct ParsedCommand {
  ReplayCommand command;
  std::string error;  // empty when the arguments are valid
};

// Parses the arguments after the program name. Every problem becomes one message in `error`.
// --help, then --version, answer whatever else the line holds, invalid options included, except
// where they stand as another option's value. A value is never taken for an option: one that
// starts with '-' is refused ("./-name" names such a file). Every option but --snapshot may be
// given once.
ParsedCommand parseReplayCommand(const std::vector<std::string>& args);

// Reads --config and --fovea-path into `runSpec`. Returns an empty string or the refusal, naming
// the option, the file and the line: "--config 'my.toml': line 3: unknown key konio.decy (did you
// mean konio.decay?)".
std::string loadRunFiles(ReplayCommand& command);

// How the command line names each part of a run in a refusal.
std::string optionName(RunRole role);

// The command line as a shell would take it back: the tool's name, then each argument, quoted
// where needed.
std::string commandLineText(const std::vector<std::string>& arguments);

std::string replayUsage();
std::string replayVersion();  // "retina-replay " and the project's version
