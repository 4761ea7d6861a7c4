#include "app/replay.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <sstream>

#include <unistd.h>

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

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(rank, values.size() - 1)];
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
    } else {
      parsed.error = "unknown option '" + arg + "' (see --help)";
      return parsed;
    }
  }
  if (sources > 1) {
    parsed.error = "give at most one of --video, --image and --camera";
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
  --help             this text

In a window the keys are the demo's: r recentres the fovea, ESC quits.
Exit status: 0 after a run, 2 for a bad option or an input or output that cannot be opened.
)";
}

void ReplaySummary::add(const FrameStats& stats) {
  frames_.push_back(stats);
}

void ReplaySummary::noteMemory(std::int64_t frameNumber) {
  const double mb = residentMemoryMb();
  if (frameNumber == 100) residentAfter100Mb_ = mb;
  residentLastMb_ = mb;
  residentPeakMb_ = std::max(residentPeakMb_, mb);
}

void ReplaySummary::print(std::ostream& out, const EventQueueStats& queue,
                          bool deterministic) const {
  const std::size_t n = frames_.size();
  out << "\nSummary: " << n << " frames, model "
      << (deterministic ? "stepped (deterministic)" : "on its worker thread (live)") << "\n";
  if (n == 0) return;

  struct Row {
    const char* name;
    double FrameStats::*field;
  };
  const Row rows[] = {{"frame read", &FrameStats::read},
                      {"sampling", &FrameStats::sampling},
                      {"emission", &FrameStats::emission},
                      {"model step", &FrameStats::modelStep},
                      {"snapshots", &FrameStats::snapshots},
                      {"fovea", &FrameStats::fovea},
                      {"rendering", &FrameStats::rendering},
                      {"overlay", &FrameStats::overlay},
                      {"iteration without read", &FrameStats::work}};
  out << std::fixed << std::setprecision(3);
  out << "  " << std::left << std::setw(26) << "real time (ms)" << std::right << std::setw(10)
      << "median" << std::setw(10) << "p95"
      << "\n";
  auto printRow = [&](const char* name, const std::vector<double>& values) {
    out << "  " << std::left << std::setw(26) << name << std::right << std::setw(10)
        << percentile(values, 0.5) * 1e3 << std::setw(10) << percentile(values, 0.95) * 1e3 << "\n";
  };
  std::vector<double> frameTime;
  for (const FrameStats& f : frames_)
    frameTime.push_back(f.read + f.work + f.modelStep);
  for (const Row& row : rows) {
    if (row.field == &FrameStats::modelStep && !deterministic) continue;
    std::vector<double> values;
    for (const FrameStats& f : frames_)
      values.push_back(f.*row.field);
    printRow(row.name, values);
  }
  printRow("frame time", frameTime);

  std::vector<double> events;
  double pushed = 0.0;
  for (const FrameStats& f : frames_) {
    events.push_back(static_cast<double>(f.eventsPushed));
    pushed += static_cast<double>(f.eventsPushed);
  }
  out << std::setprecision(0);
  out << "  events pushed per frame: median " << percentile(events, 0.5) << ", p95 "
      << percentile(events, 0.95) << ", total " << pushed << "\n";
  out << std::setprecision(1);
  out << "  displaced by the queue bound: " << queue.displaced << " ("
      << (pushed > 0 ? 100.0 * static_cast<double>(queue.displaced) / pushed : 0.0)
      << " % of the frames' events; Konio output included)\n";
  out << std::setprecision(2);
  out << "  worker batches per frame: "
      << static_cast<double>(queue.batches) / static_cast<double>(n) << " (" << queue.batches
      << " in all); queue peak " << queue.peak << " events\n";
  out << std::setprecision(1);
  out << "  resident memory (MiB): after frame 100 ";
  if (residentAfter100Mb_ < 0.0) {
    out << "-";
  } else {
    out << residentAfter100Mb_;
  }
  // The kernel updates its high-water mark lazily; the per-frame samples may be higher.
  out << ", after the last frame " << residentLastMb_ << ", peak "
      << std::max(residentPeakMb_, peakResidentMemoryMb()) << "\n";
  out.unsetf(std::ios::floatfield);
}

double residentMemoryMb() {
  std::ifstream statm("/proc/self/statm");
  long long size = 0, resident = 0;
  if (!(statm >> size >> resident)) return -1.0;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

double peakResidentMemoryMb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      std::istringstream fields(line.substr(6));
      double kb = 0.0;
      if (fields >> kb) return kb / 1024.0;
    }
  }
  return -1.0;
}
