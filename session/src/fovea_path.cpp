#include "session/fovea_path.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "session/text_file.h"

namespace {

constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> result;
  for (std::size_t start = 0;;) {
    const std::size_t comma = line.find(',', start);
    result.push_back(trimmed(line.substr(start, comma - start)));
    if (comma == std::string_view::npos) return result;
    start = comma + 1;
  }
}

// A whole number in [min, max], written with an optional sign and digits only.
bool wholeNumber(std::string_view field, std::int64_t min, std::int64_t max, std::int64_t& value) {
  const std::string text(field);
  if (text.empty() || text.find_first_not_of("+-0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

}  // namespace

FoveaPathResult parseFoveaPath(std::string_view text) {
  FoveaPathResult result;
  constexpr std::int64_t kPixelMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kPixelMax = std::numeric_limits<std::int32_t>::max();
  bool header = false;
  std::int64_t lineNumber = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = trimmed(text.substr(start, end - start));
    start = end + 1;
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    const std::vector<std::string_view> f = fields(line);
    if (!header) {
      if (f.size() != 3 || f[0] != "frame" || f[1] != "cx" || f[2] != "cy") {
        result.error = where + "the first line must be the header frame,cx,cy";
        return result;
      }
      header = true;
      continue;
    }
    if (f.size() != 3) {
      result.error = where + std::to_string(f.size()) + " fields; each line holds frame,cx,cy";
      return result;
    }
    FoveaWaypoint point;
    point.line = lineNumber;
    std::int64_t cx = 0, cy = 0;
    if (!wholeNumber(f[0], 1, std::numeric_limits<std::int64_t>::max(), point.frame)) {
      result.error =
          where + "the frame must be a whole number from 1, not '" + std::string(f[0]) + "'";
      return result;
    }
    if (!wholeNumber(f[1], kPixelMin, kPixelMax, cx) ||
        !wholeNumber(f[2], kPixelMin, kPixelMax, cy)) {
      result.error = where + "cx and cy must be whole pixels, not '" + std::string(f[1]) +
                     "' and '" + std::string(f[2]) + "'";
      return result;
    }
    if (!result.path.empty() && point.frame <= result.path.back().frame) {
      result.error = where + "frame " + std::to_string(point.frame) + " comes after frame " +
                     std::to_string(result.path.back().frame) + "; frames must increase";
      return result;
    }
    point.cx = static_cast<std::int32_t>(cx);
    point.cy = static_cast<std::int32_t>(cy);
    result.path.push_back(point);
  }
  if (result.path.empty()) {
    result.error = header ? "no waypoint after the header frame,cx,cy"
                          : "empty: the first line must be the header frame,cx,cy";
  }
  return result;
}

FoveaPathResult readFoveaPath(const std::string& path) {
  std::string text;
  FoveaPathResult result;
  result.error = readTextFile(path, kMaxFileBytes, text);
  return result.error.empty() ? parseFoveaPath(text) : result;
}

std::string checkFoveaPathInside(const std::vector<FoveaWaypoint>& path, cv::Size frameSize) {
  for (const FoveaWaypoint& point : path) {
    if (point.cx < 0 || point.cx >= frameSize.width || point.cy < 0 ||
        point.cy >= frameSize.height) {
      return "line " + std::to_string(point.line) + ": frame " + std::to_string(point.frame) +
             "'s centre (" + std::to_string(point.cx) + ", " + std::to_string(point.cy) +
             ") is outside the " + std::to_string(frameSize.width) + "x" +
             std::to_string(frameSize.height) + " picture";
    }
  }
  return {};
}
