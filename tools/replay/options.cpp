#include "tools/replay/options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

bool parsePositive(const std::string& text, std::int64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed <= 0) return false;
  value = parsed;
  return true;
}

bool parseSize(const std::string& text, cv::Size& size) {
  const std::size_t x = text.find('x');
  std::int64_t w = 0, h = 0;
  if (x == std::string::npos || !parsePositive(text.substr(0, x), w) ||
      !parsePositive(text.substr(x + 1), h) || w > 16384 || h > 16384) {
    return false;
  }
  size = cv::Size(static_cast<int>(w), static_cast<int>(h));
  return true;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  std::string tail = text.substr(text.size() - suffix.size());
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return tail == suffix;
}

}  // namespace

std::int64_t frameLimit(const ReplayOptions& options) {
  if (options.frames > 0) return options.frames;
  const bool endless =
      options.source == ReplaySource::video || options.source == ReplaySource::camera;
  return endless ? 0 : kDefaultReplayFrames;
}

ParsedOptions parseReplayOptions(const std::vector<std::string>& args) {
  ParsedOptions parsed;
  ReplayOptions& o = parsed.options;
  o.arguments = args;
  int sources = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        parsed.error = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--headless") {
      o.headless = true;
    } else if (arg == "--deterministic") {
      o.deterministic = true;
    } else if (arg == "--video" || arg == "--image") {
      if (!value(o.inputPath)) return parsed;
      o.source = arg == "--video" ? ReplaySource::video : ReplaySource::image;
      ++sources;
    } else if (arg == "--camera") {
      std::int64_t index = 0;
      if (!value(v)) return parsed;
      if (v != "0" && (!parsePositive(v, index) || index > 1000)) {
        parsed.error = "--camera needs a device index (0, 1, ...), not '" + v + "'";
        return parsed;
      }
      o.cameraIndex = static_cast<int>(index);
      o.source = ReplaySource::camera;
      ++sources;
    } else if (arg == "--size") {
      if (!value(v)) return parsed;
      if (!parseSize(v, o.sceneSize)) {
        parsed.error = "--size needs WIDTHxHEIGHT in pixels (1 to 16384 each), not '" + v + "'";
        return parsed;
      }
    } else if (arg == "--frames") {
      if (!value(v)) return parsed;
      if (!parsePositive(v, o.frames)) {
        parsed.error = "--frames needs a positive whole number, not '" + v + "'";
        return parsed;
      }
    } else if (arg == "--out") {
      if (!value(o.outPath)) return parsed;
      if (!endsWith(o.outPath, ".avi")) {
        parsed.error = "--out writes an MJPG AVI file; give it a name ending in .avi";
        return parsed;
      }
    } else if (arg == "--snapshot") {
      if (!value(v)) return parsed;
      const std::size_t colon = v.find(':');
      if (colon == std::string::npos || !parsePositive(v.substr(0, colon), o.snapshotFrame) ||
          !endsWith(v.substr(colon + 1), ".png")) {
        parsed.error =
            "--snapshot needs N:FILE.png with N a positive frame number, not '" + v + "'";
        return parsed;
      }
      o.snapshotPath = v.substr(colon + 1);
    } else if (arg == "--export") {
      if (!value(o.exportPath)) return parsed;
      if (!endsWith(o.exportPath, ".h5") && !endsWith(o.exportPath, ".hdf5")) {
        parsed.error = "--export writes an HDF5 file; give it a name ending in .h5";
        return parsed;
      }
    } else if (arg == "--export-gains") {
      o.exportGains = true;
    } else if (arg == "--stats") {
      if (!value(o.statsPath)) return parsed;
      if (!endsWith(o.statsPath, ".csv")) {
        parsed.error = "--stats writes a CSV file; give it a name ending in .csv";
        return parsed;
      }
    } else {
      parsed.error = "unknown option '" + arg + "' (see --help)";
      return parsed;
    }
  }
  if (sources > 1) {
    parsed.error = "give at most one of --video, --image and --camera";
  } else if (o.exportGains && o.exportPath.empty()) {
    parsed.error = "--export-gains needs --export FILE.h5";
  } else if (o.snapshotFrame > 0 && frameLimit(o) > 0 && o.snapshotFrame > frameLimit(o)) {
    parsed.error = "--snapshot frame " + std::to_string(o.snapshotFrame) +
                   " is beyond the last frame (" + std::to_string(frameLimit(o)) + ")";
  }
  return parsed;
}

std::string replayUsage() {
  return R"(Usage: retina-replay [options]

Runs the retina demo's own frame loop, stages and model on a video, an image, a camera or a
built-in synthetic scene, in the demo's window or headless, and prints a timing summary.

Input (at most one; default: the synthetic scene):
  --video FILE       a video file (anything OpenCV's VideoCapture opens), until it ends
  --image FILE       an image file, repeated for every frame
  --camera N         camera device N, until ESC or the camera stops
  --size WxH         size of the synthetic scene (default: 1280x720)

Run:
  --frames N         stop after N frames (default: 300 for the synthetic scene and an image,
                     the whole video, no limit for a camera)
  --deterministic    no worker thread: right after each frame's events are pushed, the main
                     thread runs exactly one worker iteration, and every clock reading comes
                     from a frame clock that advances by 1/30 s per frame read. Two runs on
                     the same input then draw identical canvases. Live (the default), the
                     worker drains the queue whenever the thread scheduler lets it, so how the
                     events split into batches, and with it the gains, differs from run to
                     run. The summary always reports real timings. (default: off)

Output:
  --headless         no window and no keys (default: off; on by itself when neither DISPLAY
                     nor WAYLAND_DISPLAY is set)
  --out FILE.avi     record every canvas as MJPG AVI at 30 fps (default: none)
  --snapshot N:FILE.png
                     write the canvas of frame N (1 = the first) as PNG (default: none)
  --export FILE.h5   write the run's data as HDF5: the retina, a row per frame, every event
                     pushed and every Konio output (default: none)
  --export-gains     with --export, also every frame's gains and Konio activity
                     (30202 values each per frame) (default: off)
  --stats FILE.csv   write a line per frame: stage times, events, queue counters, fovea
                     centre, frame time, resident memory (default: none)
  --help             this text

In a window the keys are the demo's: r recentres the fovea, ESC quits.
Exit status: 0 after a run, 2 for a bad option or an input or output that cannot be opened.
)";
}
