#include "apps/replay/run_parameters.h"

#include <filesystem>

#include "session/parameter_file.h"

namespace {

std::string absolutePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

}  // namespace

std::string loadRunParameters(const ReplayOptions& options, RunParameters& run) {
  run = RunParameters{};
  if (options.parameters) {
    if (!options.configPath.empty()) return "give parameters or --config, not both";
    const std::string problem = validateParameters(*options.parameters);
    if (!problem.empty()) return problem;
    run.parameters = *options.parameters;
  } else if (!options.configPath.empty()) {
    const ParameterFileResult file = readParameterFile(options.configPath);
    if (!file.error.empty()) return "--config '" + options.configPath + "': " + file.error;
    run.parameters = file.parameters;
    run.configFile = absolutePath(options.configPath);
  }
  run.fovea.mode = options.fovea;
  if (!options.foveaPathFile.empty()) {
    FoveaPathResult path = readFoveaPath(options.foveaPathFile);
    if (!path.error.empty()) return "--fovea-path '" + options.foveaPathFile + "': " + path.error;
    run.fovea.path = std::move(path.path);
    run.foveaPathFile = absolutePath(options.foveaPathFile);
  }
  return {};
}

std::string checkRunParameters(const RunParameters& run, const ReplayOptions& options,
                               cv::Size firstFrame) {
  if (!run.foveaPathFile.empty()) {
    const std::string outside = checkFoveaPathInside(run.fovea.path, firstFrame);
    if (!outside.empty()) return "--fovea-path '" + options.foveaPathFile + "': " + outside;
  }
  return {};
}

std::string foveaControlText(const RunParameters& run) {
  switch (run.fovea.mode) {
    case FoveaMode::fixed:
      return "fixed";
    case FoveaMode::path:
      return "path " + run.foveaPathFile;
    case FoveaMode::model:
      break;
  }
  return "model";
}
