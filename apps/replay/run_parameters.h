#pragma once

// What retina-replay runs the session with besides its input: the parameters (--config) and
// who moves the fovea (--fovea, --fovea-path).

#include <string>

#include <opencv2/core.hpp>

#include "apps/replay/options.h"
#include "session/fovea_path.h"
#include "session/parameters.h"

struct RunParameters {
  Parameters parameters;      // --config's values over the defaults
  FoveaControl fovea;         // --fovea or --fovea-path
  std::string configFile;     // --config, absolute; empty without it
  std::string foveaPathFile;  // --fovea-path, absolute; empty without it
};

// Reads --config and --fovea-path. Returns an empty string or the refusal, naming the option,
// the file and the line: "--config 'my.toml': line 3: unknown key konio.decy (did you mean
// konio.decay?)".
std::string loadRunParameters(const ReplayOptions& options, RunParameters& run);

// Once the input is open and its first frame's size known: refuses a fovea path that leaves the
// picture. An empty string or the refusal.
std::string checkRunParameters(const RunParameters& run, const ReplayOptions& options,
                               cv::Size firstFrame);

// Who moves the fovea, for the record: "model", "fixed" or "path FILE".
std::string foveaControlText(const RunParameters& run);
