#include "frame_input/frame_input.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/quiet_stderr.h"
#include "safe_output/target_checks.h"
#include "session/frame_clock.h"

namespace {

// A container's frame count may be an estimate from its duration, one frame off: the input counts
// as ended early only when more frames than that are missing.
constexpr std::int64_t kLengthTolerance = 1;
constexpr std::size_t kLargestStreamedImage = std::size_t{256} << 20;  // bytes, from a pipe

// What a path that does not exist may still be for VideoCapture: an image sequence's pattern, a
// URL or a GStreamer pipeline. A path that exists is a file, whatever characters it holds.
bool mayBeStream(const std::string& path) {
  return path.find('%') != std::string::npos || path.find("://") != std::string::npos ||
         path.find('!') != std::string::npos;
}

// Why the existing file `info` at `path` cannot be read, or an empty string. A FIFO is not
// opened here: that would wait for its writer and then leave it without a reader when closed;
// the back-end opens it and waits as `cat` does, and a stop signal ends the wait.
std::string fileProblem(const std::string& path, const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return "is a directory";
  std::string stream = standardStreamInputProblem(info);
  if (!stream.empty()) return stream;
  if (S_ISFIFO(info.st_mode)) {
    return access(path.c_str(), R_OK) == 0 ? std::string() : std::strerror(errno);
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  close(fd);
  return {};
}

// Every byte a FIFO's writer sends, up to kLargestStreamedImage; `problem` set on failure.
std::vector<uchar> readStream(const std::string& path, std::string& problem) {
  std::vector<uchar> bytes;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    problem = std::strerror(errno);
    return bytes;
  }
  std::vector<uchar> block(1 << 16);
  for (;;) {
    const ssize_t got = ::read(fd, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) problem = std::strerror(errno);
    if (got <= 0) break;
    bytes.insert(bytes.end(), block.begin(), block.begin() + got);
    if (bytes.size() > kLargestStreamedImage) {
      problem = "it sends more than " + std::to_string(kLargestStreamedImage >> 20) + " MiB";
      break;
    }
  }
  close(fd);
  return bytes;
}

// The directory of `path` as the file system resolves it; empty when it does not exist.
std::filesystem::path resolvedDirectory(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path p(path);
  const std::string directory = p.has_parent_path() ? p.parent_path().string() : ".";
  std::error_code error;
  if (!fs::is_directory(directory, error)) return {};
  return resolvedPath(directory);
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

// A file name pattern with one %d, %Nd or %0Nd conversion: what comes before and after it.
struct NumberedName {
  std::string before, after;
  int width = 0;
  bool zeroPadded = false;

  std::string name(long long index) const {
    std::string digits = std::to_string(index);
    if (digits.size() < static_cast<std::size_t>(width)) {
      digits.insert(0, static_cast<std::size_t>(width) - digits.size(), zeroPadded ? '0' : ' ');
    }
    return before + digits + after;
  }
  // The index `name` stands for, or -1.
  long long index(const std::string& name) const {
    if (name.size() <= before.size() + after.size() ||
        name.compare(0, before.size(), before) != 0 ||
        name.compare(name.size() - after.size(), after.size(), after) != 0) {
      return -1;
    }
    const std::string middle =
        name.substr(before.size(), name.size() - before.size() - after.size());
    const std::size_t first = middle.find_first_not_of(' ');
    if (first == std::string::npos || middle.size() > 18 ||
        middle.find_first_not_of("0123456789", first) != std::string::npos) {
      return -1;
    }
    const long long value = std::stoll(middle.substr(first));
    return this->name(value) == name ? value : -1;
  }
};

bool parseNumberedName(const std::string& pattern, NumberedName& parsed) {
  bool found = false;
  std::string* part = &parsed.before;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      *part += pattern[i];
    } else if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      *part += '%';
      ++i;
    } else {
      if (found) return false;
      std::size_t j = i + 1;
      parsed.zeroPadded = j < pattern.size() && pattern[j] == '0';
      while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j])))
        ++j;
      if (j >= pattern.size() || pattern[j] != 'd' || j - i > 4) return false;
      parsed.width = j > i + 1 ? std::stoi(pattern.substr(i + 1, j - i - 1)) : 0;
      found = true;
      part = &parsed.after;
      i = j;
    }
  }
  return found;
}

}  // namespace

std::string sequenceGap(const std::string& pattern, std::int64_t delivered) {
  namespace fs = std::filesystem;
  NumberedName numbered;
  const fs::path directory = resolvedDirectory(pattern);
  if (directory.empty() || !parseNumberedName(fs::path(pattern).filename().string(), numbered)) {
    return {};
  }
  std::set<long long> indices;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
    const long long index = numbered.index(entry.path().filename().string());
    if (index >= 0) indices.insert(index);
  }
  if (indices.empty()) return {};
  // The back-ends start at the first file there is (0 or 1, or up to 4) and stop at the first
  // that is missing or does not decode.
  const long long next = *indices.begin() + delivered;
  if (*indices.rbegin() < next) return {};
  const std::string name = "'" + numbered.name(next) + "'";
  if (indices.count(next) > 0) return name + " does not decode";
  return name + " is missing, though the sequence goes on to '" + numbered.name(*indices.rbegin()) +
         "'";
}

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
  if (!fs::exists(path)) return false;
  const std::string target = fileIdentity(path);
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
    if (named(entry.path()) && fileIdentity(entry.path().string()) == target) return true;
  }
  return false;
}

std::string FrameInput::openVideo(const std::string& path) {
  const std::string what = "cannot open video '" + path + "': ";
  struct stat info {};
  const bool exists = stat(path.c_str(), &info) == 0;
  if (exists) {
    // Refused before VideoCapture sees it: each back-end would try it and fail its own way.
    const std::string problem = fileProblem(path, info);
    if (!problem.empty()) return what + problem;
    fileKey_ = fileIdentity(path);
    // FFmpeg reads a name with a %d in it as a sequence's pattern all the same: its files are
    // kept from the outputs too.
    if (path.find('%') != std::string::npos) sequencePattern_ = path;
  } else if (errno != ENOENT || !mayBeStream(path)) {
    return what + std::strerror(errno);
  } else if (path.find("://") == std::string::npos && path.find('!') == std::string::npos) {
    sequencePattern_ = path;
  }
  {
    // Some back-ends "open" a file they cannot decode and then return no frame at all.
    QuietStderr quiet;
    if (capture_->openFile(path)) capture_->read(firstFrame_);
    if (firstFrame_.empty()) capture_->close();  // FFmpeg has more to say on closing
  }
  if (firstFrame_.empty()) {
    return what + (exists ? "not a video this build can decode"
                          : "No such file or directory, nor a stream, image sequence or "
                            "pipeline that this build opens");
  }
  return {};
}

std::string FrameInput::openImage(const std::string& path) {
  const std::string what = "cannot read image '" + path + "': ";
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return what + std::strerror(errno);
  std::string problem = fileProblem(path, info);
  if (problem.empty() && !S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) {
    problem = "is not a regular file";
  }
  if (!problem.empty()) return what + problem;
  fileKey_ = fileIdentity(path);
  QuietStderr quiet;  // libpng and libjpeg warn on damaged files
  if (S_ISFIFO(info.st_mode)) {
    // Read once, as its writer sends it: a second open would wait for another writer.
    const std::vector<uchar> bytes = readStream(path, problem);
    if (!problem.empty()) return what + problem;
    still_ = cv::imdecode(bytes, cv::IMREAD_COLOR);
    if (still_.empty()) return what + "what it sends does not decode as an image";
  } else {
    if (!cv::haveImageReader(path)) return what + "not an image format this build reads";
    still_ = cv::imread(path, cv::IMREAD_COLOR);
    if (still_.empty()) return what + "damaged or truncated, it does not decode";
  }
  firstSize_ = still_.size();
  return {};
}

std::string FrameInput::openCamera(int index) {
  {
    QuietStderr quiet;
    if (capture_->openCamera(index)) {
      capture_->requestFrameSize(kDemoFrameSize);
      capture_->read(firstFrame_);
    }
    if (firstFrame_.empty()) capture_->close();
  }
  return firstFrame_.empty() ? "cannot open camera " + std::to_string(index) : std::string();
}

std::string FrameInput::open(const InputRequest& request) {
  limit_ = request.frameLimit;
  framesPerSecond_ = kDefaultFramesPerSecond;
  std::string problem;
  switch (request.kind) {
    case InputKind::synthetic:
      scene_ = std::make_unique<SyntheticScene>(request.sceneSize);
      firstSize_ = request.sceneSize;
      break;
    case InputKind::video:
      problem = openVideo(request.path);
      break;
    case InputKind::image:
      problem = openImage(request.path);
      break;
    case InputKind::camera:
      problem = openCamera(request.cameraIndex);
      break;
  }
  if (!problem.empty()) return problem;
  if (!firstFrame_.empty()) {
    firstSize_ = firstFrame_.size();
    const CaptureInfo captured = capture_->info();
    if (captured.framesPerSecond > 0.0) framesPerSecond_ = captured.framesPerSecond;
    // A camera's frame count means nothing; a file's is its length.
    if (request.kind == InputKind::video && captured.frameCount > 0.0) {
      expected_ = static_cast<std::int64_t>(std::llround(captured.frameCount));
      videoLength_ = expected_;
    }
  }
  if (limit_ > 0 && (expected_ == 0 || limit_ < expected_)) expected_ = limit_;
  return {};
}

bool FrameInput::readsFile(const std::string& path) const {
  if (!fileKey_.empty() && fileIdentity(path) == fileKey_) return true;
  return !sequencePattern_.empty() && sequenceCovers(sequencePattern_, path);
}

// A video's or camera's reads on a thread of their own, one frame when asked, so that the
// caller can stop waiting for a frame that a stalled stream never sends. The thread holds a
// share of the capture and of this, and so may outlive the input (FrameInput::close()).
struct CaptureReader {
  std::shared_ptr<Capture> capture;
  std::mutex mutex;
  std::condition_variable wake, answered;
  bool asked = false;          // a frame is wanted
  bool ready = false;          // ...and `frame` holds it (empty: the input ended)
  bool closing = false;        // the thread closes the capture and ends
  cv::Mat frame;               // the caller's last frame's buffer while asked, read into in place
  std::exception_ptr failure;  // what the read threw (an allocation that failed), for the caller
  std::thread thread;          // joined or detached by the input, never left joinable
};

namespace {

// How long closing the input waits for a read under way before leaving it to its thread.
constexpr std::chrono::milliseconds kReadLetGoAfter{250};

void readFrames(std::shared_ptr<CaptureReader> reader) {
  CaptureReader& r = *reader;
  std::unique_lock<std::mutex> lock(r.mutex);
  for (;;) {
    r.wake.wait(lock, [&r] { return (r.asked && !r.ready) || r.closing; });
    if (r.closing) break;
    cv::Mat frame = std::move(r.frame);
    lock.unlock();
    std::exception_ptr failure;
    try {
      r.capture->read(frame);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    r.failure = failure;
    r.frame = std::move(frame);
    r.ready = true;
    r.answered.notify_one();
  }
  lock.unlock();
  r.capture->close();
}

}  // namespace

FrameInput::~FrameInput() {
  close();
}

bool FrameInput::atLimit(cv::Mat& frame) {
  if (limit_ == 0 || framesRead_ < limit_) return false;
  limitReached_ = true;
  frame.release();
  return true;
}

void FrameInput::read(cv::Mat& frame) {
  if (reader_) {  // a frame may be under way on the reader thread
    while (!readWithin(frame, std::chrono::seconds(1))) {
    }
    return;
  }
  if (atLimit(frame)) return;
  if (scene_) {
    scene_->render(framesRead_, frame);
  } else if (!still_.empty()) {
    frame = still_;  // shared, not copied: the session only reads its frames
  } else if (!firstFrame_.empty()) {
    frame = firstFrame_;  // hands the buffer over: the next read may write into it
    firstFrame_ = cv::Mat();
  } else {
    capture_->read(frame);
    if (frame.empty()) {
      noteEnd();
      return;
    }
  }
  ++framesRead_;
}

bool FrameInput::readWithin(cv::Mat& frame, std::chrono::milliseconds timeout) {
  if (scene_ || !still_.empty() || !firstFrame_.empty()) {
    read(frame);
    return true;
  }
  // No frame is asked for past the limit, and framesRead_ stays put while one is asked for.
  if (atLimit(frame)) return true;
  if (!reader_) {
    reader_ = std::make_shared<CaptureReader>();
    reader_->capture = capture_;
    reader_->thread = std::thread(readFrames, reader_);
  }
  CaptureReader& r = *reader_;
  std::unique_lock<std::mutex> lock(r.mutex);
  if (!r.asked) {
    r.frame = std::move(frame);  // its buffer is reused by the read, as read() does
    r.asked = true;
    r.wake.notify_one();
  }
  frame.release();
  if (!r.answered.wait_for(lock, timeout, [&r] { return r.ready; })) return false;
  frame = std::move(r.frame);
  r.asked = r.ready = false;
  if (r.failure) std::rethrow_exception(std::exchange(r.failure, nullptr));
  lock.unlock();
  if (frame.empty()) {
    noteEnd();
    return true;
  }
  ++framesRead_;
  return true;
}

void FrameInput::noteEnd() {
  const std::int64_t next = framesRead_ + 1;
  const std::string gap =
      sequencePattern_.empty() ? std::string() : sequenceGap(sequencePattern_, framesRead_);
  if (!gap.empty()) {
    endedEarly_ = "frame " + std::to_string(next) + ": " + gap;
  } else if (sequencePattern_.empty() && videoLength_ - framesRead_ >= kLengthTolerance + 1) {
    endedEarly_ = "frame " + std::to_string(next) + " of " + std::to_string(videoLength_) +
                  " does not decode (the file is truncated or damaged there)";
  }
  if (!endedEarly_.empty()) endedEarlyFrame_ = next;
}

void FrameInput::close() {
  if (!reader_) {
    capture_->close();
    return;
  }
  CaptureReader& r = *reader_;
  std::unique_lock<std::mutex> lock(r.mutex);
  r.closing = true;
  r.wake.notify_one();
  const bool done =
      !r.asked || r.answered.wait_for(lock, kReadLetGoAfter, [&r] { return r.ready; });
  lock.unlock();
  if (done) {
    r.thread.join();  // it has closed the capture
  } else {
    r.thread.detach();
  }
  reader_.reset();
  capture_ = std::make_shared<Capture>();
}
