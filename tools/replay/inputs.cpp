#include "tools/replay/inputs.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/frame_clock.h"
#include "app/platform.h"
#include "tools/replay/quiet_stderr.h"

namespace {

// A path that VideoCapture reads as one file, as opposed to an image sequence's pattern, a URL
// or a GStreamer pipeline, whose existence cannot be checked as a file's.
bool plainPath(const std::string& path) {
  return path.find('%') == std::string::npos && path.find("://") == std::string::npos &&
         path.find('!') == std::string::npos;
}

// Why the file at `path` cannot be read, or an empty string.
std::string fileProblem(const std::string& path, struct stat& info) {
  if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return "is a directory";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  close(fd);
  return {};
}

// The directory of `path` with symbolic links resolved; empty when it does not exist.
std::filesystem::path resolvedDirectory(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path p(path);
  std::error_code error;
  fs::path directory = fs::canonical(p.has_parent_path() ? p.parent_path() : fs::path("."), error);
  return error ? fs::path() : directory;
}

// Whether `name` is one that the printf file name pattern `pattern` produces: %d, %3d and %03d
// stand for a run of digits, %% for a percent sign, anything else for itself.
bool patternNames(const char* pattern, const char* name) {
  const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  if (*pattern == '\0') return *name == '\0';
  if (pattern[0] == '%' && pattern[1] == '%') {
    return *name == '%' && patternNames(pattern + 2, name + 1);
  }
  if (*pattern == '%') {
    const char* conversion = pattern + 1;
    while (digit(*conversion))
      ++conversion;
    if (*conversion == 'd') {
      for (const char* end = name; digit(*end); ++end) {
        if (patternNames(conversion + 1, end + 1)) return true;
      }
      return false;
    }
  }
  return *pattern == *name && patternNames(pattern + 1, name + 1);
}

}  // namespace

bool sequenceCovers(const std::string& pattern, const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path directory = resolvedDirectory(pattern);
  if (directory.empty()) return false;
  const std::string names = fs::path(pattern).filename().string();
  const auto named = [&names](const fs::path& file) {
    return patternNames(names.c_str(), file.filename().c_str());
  };
  // A name in the sequence, whether or not that file exists yet.
  if (resolvedDirectory(path) == directory && named(path)) {
    return true;
  }
  // One of the sequence's files under another name: a symbolic or hard link.
  struct stat target {};
  if (stat(path.c_str(), &target) != 0) return false;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
    struct stat info {};
    if (named(entry.path()) && stat(entry.path().c_str(), &info) == 0 &&
        info.st_dev == target.st_dev && info.st_ino == target.st_ino) {
      return true;
    }
  }
  return false;
}

std::string ReplayInput::open(const ReplayOptions& options) {
  limit_ = frameLimit(options);
  framesPerSecond_ = kDefaultFramesPerSecond;
  const std::string& path = options.inputPath;
  struct stat info {};
  switch (options.source) {
    case ReplaySource::synthetic:
      scene_ = std::make_unique<SyntheticScene>(options.sceneSize);
      firstSize_ = options.sceneSize;
      break;
    case ReplaySource::video: {
      const std::string what = "cannot open video '" + path + "': ";
      if (plainPath(path)) {
        // Refused before VideoCapture sees it: each back-end would try it and fail its own way.
        const std::string problem = fileProblem(path, info);
        if (!problem.empty()) return what + problem;
        haveFileId_ = true;
      } else if (path.find("://") == std::string::npos && path.find('!') == std::string::npos) {
        sequencePattern_ = path;
      }
      {
        // Some back-ends "open" a file they cannot decode and then return no frame at all.
        QuietStderr quiet;
        if (openVideoFile(capture_, path)) readFrom(capture_, firstFrame_);
        if (firstFrame_.empty()) closeCapture(capture_);  // FFmpeg has more to say on closing
      }
      if (firstFrame_.empty()) return what + "not a video this build can decode";
      break;
    }
    case ReplaySource::image: {
      const std::string what = "cannot read image '" + path + "': ";
      const std::string problem = fileProblem(path, info);
      if (!problem.empty()) return what + problem;
      haveFileId_ = true;
      QuietStderr quiet;  // libpng and libjpeg warn on damaged files
      if (!cv::haveImageReader(path)) return what + "not an image format this build reads";
      still_ = cv::imread(path, cv::IMREAD_COLOR);
      if (still_.empty()) return what + "damaged or truncated, it does not decode";
      firstSize_ = still_.size();
      break;
    }
    case ReplaySource::camera: {
      {
        QuietStderr quiet;
        if (openCamera(capture_, options.cameraIndex)) {
          requestFrameSize(capture_, kDemoFrameSize);
          readFrom(capture_, firstFrame_);
        }
        if (firstFrame_.empty()) closeCapture(capture_);
      }
      if (firstFrame_.empty()) return "cannot open camera " + std::to_string(options.cameraIndex);
      break;
    }
  }
  if (haveFileId_) {
    device_ = info.st_dev;
    inode_ = info.st_ino;
  }
  if (!firstFrame_.empty()) {
    firstSize_ = firstFrame_.size();
    const CaptureInfo captured = captureInfo(capture_);
    if (captured.framesPerSecond > 0.0) framesPerSecond_ = captured.framesPerSecond;
    // A camera's frame count means nothing; a file's is its length.
    if (options.source == ReplaySource::video && captured.frameCount > 0.0) {
      expected_ = static_cast<std::int64_t>(std::llround(captured.frameCount));
    }
  }
  if (limit_ > 0 && (expected_ == 0 || limit_ < expected_)) expected_ = limit_;
  return {};
}

bool ReplayInput::readsFile(const std::string& path) const {
  struct stat info {};
  if (haveFileId_ && stat(path.c_str(), &info) == 0 && info.st_dev == device_ &&
      info.st_ino == inode_) {
    return true;
  }
  return !sequencePattern_.empty() && sequenceCovers(sequencePattern_, path);
}

void ReplayInput::read(cv::Mat& frame) {
  if (limit_ > 0 && framesRead_ >= limit_) {
    limitReached_ = true;
    frame.release();
    return;
  }
  if (scene_) {
    scene_->render(framesRead_, frame);
  } else if (!still_.empty()) {
    frame = still_;  // shared, not copied: the session only reads its frames
  } else if (!firstFrame_.empty()) {
    frame = firstFrame_;  // hands the buffer over: the next read may write into it
    firstFrame_ = cv::Mat();
  } else {
    readFrom(capture_, frame);
  }
  ++framesRead_;
}

void ReplayInput::close() {
  closeCapture(capture_);
}
