#pragma once

// A controlled eye: the fovea centre held still or moved along a script, instead of where the
// model's centroid takes it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

// Where the centre goes at one frame.
struct FoveaWaypoint {
  std::int64_t frame = 0;  // 1 = the first frame drawn
  std::int32_t cx = 0;     // pixels: column
  std::int32_t cy = 0;     // pixels: row
  std::int64_t line = 0;   // its line in the path file, for messages (0: not from a file)
};

enum class FoveaMode {
  model,  // the model moves the centre every frame: the program's own way
  fixed,  // the centre stays where the first frame placed it; the reset key still recentres it
  path,   // at each waypoint's frame the centre jumps there, and holds until the next waypoint
};

struct FoveaControl {
  FoveaMode mode = FoveaMode::model;
  std::vector<FoveaWaypoint> path;  // FoveaMode::path only: frames strictly increasing
};

struct FoveaPathResult {
  std::vector<FoveaWaypoint> path;
  std::string error;  // empty when the file is valid; else the first problem, with its line
};

// Parses a path file: CSV whose first line is the header `frame,cx,cy`, then one waypoint per
// line: the frame (a whole number from 1, strictly increasing from line to line) and the
// centre's column and row (whole pixels). Blank lines and lines starting with '#' are skipped;
// spaces around a field and Windows line ends are allowed. At least one waypoint.
FoveaPathResult parseFoveaPath(std::string_view text);

// Reads the file at `path` and parses it. A file that cannot be read, a directory and a file
// over 64 MiB give their cause instead.
FoveaPathResult readFoveaPath(const std::string& path);

// Empty when every waypoint lies on a picture of `frameSize`; else the first one that does not:
// "line 7: frame 30's centre (1400, 200) is outside the 1280x720 picture".
std::string checkFoveaPathInside(const std::vector<FoveaWaypoint>& path, cv::Size frameSize);
