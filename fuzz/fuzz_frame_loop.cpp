// libFuzzer target: the frame loop on a short script of frames and keys decoded from the input.
//
// Input layout (missing bytes read as 0):
//   byte 0            number of frames, 1 + b % 8
//   per frame, 4 bytes:
//     width           b % 65; 0 hands the loop an empty frame, which ends it
//     height          b % 65; 0 likewise
//     type            depth 8U/8S/16U/16S/32F/64F by b % 6, channels 1 + (b / 6) % 4, and when
//                     (b / 24) % 2 is 1 the frame is a view into a larger image (rows further
//                     apart than the width)
//     key             the key polled after the frame: ESC, 'r', 'R' or none, by b % 8
//   then the frame's pixel bytes, taken from the input as far as it reaches and repeated over
//   the rest of the frame.
// The model is stepped once after each emission on this thread, so a run is repeatable. Beyond
// what the sanitizers catch, every canvas shown must be 8-bit BGR at the size of its frame.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include <opencv2/core.hpp>

#include "retina/fibonacci_retina.h"
#include "session/console_lines.h"
#include "session/session.h"
#include "tests/session_fixture.h"

namespace {

// Fewer spiral points than the program's 4096 keep a run short; foveal and peripheral clusters,
// colour classes and prime spiral sensors are all still there.
constexpr RetinaLayout fuzzRetina() {
  RetinaLayout layout;
  layout.spiralCount = 256;
  return layout;
}
constexpr RetinaLayout kFuzzRetina = fuzzRetina();
constexpr int kMaxSide = 64;
constexpr int kDepths[] = {CV_8U, CV_8S, CV_16U, CV_16S, CV_32F, CV_64F};
constexpr int kKeys[] = {-1, -1, -1, -1, -1, kQuitKey, kResetKey, 'R'};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  // Fills `bytes` from the input, repeating what is left when it runs short.
  void fill(std::uint8_t* bytes, std::size_t count) {
    const std::size_t left = size_ - pos_;
    if (left == 0) {
      std::memset(bytes, 0, count);
      return;
    }
    for (std::size_t i = 0; i < count; ++i)
      bytes[i] = data_[pos_ + i % left];
    pos_ += count < left ? count : left;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

struct Step {
  cv::Mat frame;  // empty: the loop ends here
  int key = -1;
};

std::vector<Step> decode(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  std::vector<Step> steps(1 + in.byte() % 8);
  for (Step& step : steps) {
    const int width = in.byte() % (kMaxSide + 1);
    const int height = in.byte() % (kMaxSide + 1);
    const int type = in.byte();
    step.key = kKeys[in.byte() % 8];
    if (width == 0 || height == 0) continue;

    const int cvType = CV_MAKETYPE(kDepths[type % 6], 1 + (type / 6) % 4);
    const bool view = (type / 24) % 2 == 1;
    cv::Mat image(height + (view ? 2 : 0), width + (view ? 3 : 0), cvType);
    for (int row = 0; row < image.rows; ++row)
      in.fill(image.ptr<std::uint8_t>(row), image.cols * image.elemSize());
    step.frame = view ? image(cv::Rect(1, 1, width, height)) : image;
  }
  return steps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<Step> steps = decode(data, size);
  TestSession t(ModelMode::steppedAfterEmission, kFuzzRetina);
  std::ostringstream out;
  // The demo's loop, frame by frame: an empty frame or ESC ends it; a latency line every few
  // frames.
  for (const Step& step : steps) {
    if (step.frame.empty()) break;
    const FrameResult r = t.frame(step.frame, std::chrono::milliseconds(700));
    if (r.drawn && (r.canvas.type() != CV_8UC3 || r.canvas.size() != step.frame.size())) {
      std::abort();
    }
    if (applyKey(t.session, step.key)) break;
    if (r.drawn && t.session.latencyDue(t.clock)) printLatency(out, r.frameTimeMs);
  }
  return 0;
}
