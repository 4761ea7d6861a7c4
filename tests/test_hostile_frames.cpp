// The frame loop with the model worker running, fed frames a camera or a video file could
// deliver on a bad day: odd depths and channel counts, tiny and huge frames, sizes that change
// between frames, views into larger images, black, white and noise.

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <sstream>
#include <vector>

#include <opencv2/core.hpp>

#include "apps/demo/demo_loop.h"
#include "session/session.h"
#include "session_fixture.h"

namespace {

enum class Fill { black, white, noise };

cv::Mat makeFrame(cv::Size size, int type, Fill fill) {
  cv::Mat frame(size, type);
  cv::Mat values = frame.reshape(1);  // one channel: any channel count fills alike
  if (fill == Fill::noise) {
    cv::randu(values, 0, 256);
  } else {
    values.setTo(fill == Fill::white ? 255 : 0);
  }
  return frame;
}

// A session with the worker thread draining the queue, shut down as the program does when it
// goes out of scope: flag cleared, worker joined.
struct LiveSession : TestSession {
  LiveSession() : TestSession(ModelMode::workerThread) {}

  // Steps every frame that `script` holds, showing nothing; returns how many were drawn.
  int run(const std::vector<cv::Mat>& frames) {
    int drawn = 0;
    for (const cv::Mat& f : frames)
      drawn += frame(f).drawn ? 1 : 0;
    return drawn;
  }
};

// Runs the whole session with the worker thread and checks that exactly the frames that can be
// converted to 8-bit BGR were shown, each at its own size, and that every frame got its key poll.
void expectShownAtTheirOwnSize(const std::vector<cv::Mat>& frames) {
  ScriptedIo script;
  script.frames = frames;
  FrameIo io = script.io();
  std::ostringstream out;
  EXPECT_EQ(runDemo(io, script.clock, out, script.config()).exit, LoopExit::emptyFrame);

  std::vector<cv::Size> expected;
  for (const cv::Mat& frame : frames) {
    cv::Mat copy = frame.clone();
    if (convertToBgr8(copy)) expected.push_back(frame.size());
  }
  std::vector<cv::Size> shown;
  for (const cv::Mat& canvas : script.shown) {
    EXPECT_EQ(canvas.type(), CV_8UC3);
    shown.push_back(canvas.size());
  }
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(script.framesRead, frames.size() + 1);
  EXPECT_EQ(script.keyPolls, frames.size());
}

// Where the fovea update may put one coordinate on an axis of `extent` pixels: 100 pixels inside
// both edges, or for an axis under 200 pixels, where those bounds cross, exactly one of them.
bool withinMargins(std::int32_t value, int extent) {
  constexpr std::int32_t kFoveaMargin = FoveaParameters{}.margin;
  if (extent >= 2 * kFoveaMargin) return value >= kFoveaMargin && value <= extent - kFoveaMargin;
  return value == extent - kFoveaMargin || value == kFoveaMargin;
}

}  // namespace

TEST(HostileFrames, EveryDepthAndChannelCount) {
  // Each frame has its own size, so a canvas shown at the wrong size or for the wrong frame shows.
  const int types[] = {CV_8UC1,  CV_8UC3,  CV_8UC4,  CV_16UC1, CV_16UC3, CV_16UC4,
                       CV_8SC1,  CV_8SC3,  CV_8UC2,  CV_16UC2, CV_16SC3, CV_32SC1,
                       CV_32FC1, CV_32FC3, CV_32FC4, CV_64FC3, CV_8UC(5)};
  std::vector<cv::Mat> frames;
  int step = 0;
  for (int type : types) {
    frames.push_back(makeFrame({160 + 8 * step, 120 + 4 * step}, type, Fill::noise));
    ++step;
  }
  expectShownAtTheirOwnSize(frames);
}

TEST(HostileFrames, TinyHugeAndChangingSizes) {
  std::vector<cv::Mat> frames = {
      makeFrame({1280, 720}, CV_8UC3, Fill::noise),  makeFrame({1, 1}, CV_8UC3, Fill::white),
      makeFrame({199, 199}, CV_8UC3, Fill::noise),   makeFrame({200, 200}, CV_8UC3, Fill::white),
      makeFrame({4096, 4096}, CV_8UC3, Fill::noise), makeFrame({1, 1}, CV_16UC1, Fill::noise),
  };
  const cv::Size sizes[] = {{1280, 720}, {640, 480}, {1920, 1080}, {3, 3}};
  const Fill fills[] = {Fill::black, Fill::white, Fill::noise};
  for (int i = 0; i < 12; ++i)  // a new size every third frame
    frames.push_back(makeFrame(sizes[i / 3 % 4], CV_8UC3, fills[i % 3]));
  frames.push_back(makeFrame({4096, 4096}, CV_8UC4, Fill::white));
  frames.push_back(makeFrame({3, 3}, CV_8UC1, Fill::white));
  expectShownAtTheirOwnSize(frames);

  // Starting on the smallest frames: the retina collapses onto one pixel, then stays so.
  expectShownAtTheirOwnSize(
      {makeFrame({1, 1}, CV_8UC3, Fill::white), makeFrame({3, 3}, CV_8UC1, Fill::noise),
       makeFrame({1280, 720}, CV_8UC3, Fill::white), makeFrame({199, 199}, CV_16UC3, Fill::noise)});
}

TEST(HostileFrames, ViewsIntoLargerImagesAreReadInPlaceAndNeverWritten) {
  // A capture may hand out a view whose rows are further apart than its width.
  cv::Mat big = makeFrame({1000, 800}, CV_8UC3, Fill::noise);
  const cv::Mat pristine = big.clone();
  const cv::Rect views[] = {{1, 1, 640, 480}, {999, 0, 1, 800}, {300, 250, 199, 201}};
  LiveSession live;
  std::vector<cv::Size> shown;
  for (const cv::Rect& view : views) {
    const FrameResult r = live.frame(big(view));
    ASSERT_TRUE(r.drawn);
    shown.push_back(r.canvas.size());
  }
  EXPECT_EQ(shown, (std::vector<cv::Size>{{640, 480}, {1, 800}, {199, 201}}));
  EXPECT_EQ(cv::norm(big, pristine, cv::NORM_INF), 0.0);
}

TEST(HostileFrames, FirstUsableFrameFixesCenterAndScaleAndUpdatesKeepTheMargins) {
  LiveSession live;
  // Unconvertible frames first: they must not place the centre.
  std::vector<cv::Mat> frames = {makeFrame({1000, 1000}, CV_32FC3, Fill::white),
                                 makeFrame({500, 300}, CV_8SC1, Fill::white),
                                 makeFrame({640, 480}, CV_8UC1, Fill::white)};  // first usable
  const cv::Size sizes[] = {{1280, 720}, {3, 3},     {640, 480}, {1, 1},     {199, 199},
                            {200, 200},  {150, 250}, {250, 150}, {201, 201}, {1920, 1080}};
  const Fill fills[] = {Fill::white, Fill::noise, Fill::black};
  for (const cv::Size& size : sizes)
    for (Fill fill : fills)
      frames.push_back(makeFrame(size, CV_8UC3, fill));

  const float scale = 240.0f / 32768.0f;  // min(320, 240, 320, 240) / 32768
  const FrameLoopState& s = live.session.state();
  int shown = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    // The centre the frame's update starts from: the middle of the first usable frame.
    FoveaCenter before = s.centerPlaced ? s.center : FoveaCenter{320, 240};
    const FrameResult r = live.frame(frames[i]);
    if (!r.drawn) {
      EXPECT_FALSE(s.centerPlaced) << "frame " << i;
      EXPECT_EQ(r.refusal, "its pixel type cannot be converted to 8-bit BGR") << "frame " << i;
      continue;
    }
    ++shown;
    EXPECT_EQ(s.retinaScale, scale) << "frame " << shown;
    // A white frame under a centre inside it has positive weight; a moved centre had too.
    const bool centerInside =
        before.cx >= 0 && before.cx < s.frame.cols && before.cy >= 0 && before.cy < s.frame.rows;
    const bool whiteFrame = cv::countNonZero(s.frame.reshape(1) != 255) == 0;
    const bool moved = s.center.cx != before.cx || s.center.cy != before.cy;
    if (moved || (whiteFrame && centerInside)) {
      EXPECT_TRUE(withinMargins(s.center.cx, s.frame.cols))
          << "frame " << shown << ": cx " << s.center.cx << " on " << s.frame.cols << " columns";
      EXPECT_TRUE(withinMargins(s.center.cy, s.frame.rows))
          << "frame " << shown << ": cy " << s.center.cy << " on " << s.frame.rows << " rows";
    }
    if (i == 10) applyKey(live.session, kResetKey);  // recentres on 640x480; the scale stays
  }
  EXPECT_EQ(shown, static_cast<int>(frames.size()) - 2);
}

TEST(HostileFrames, SmallFramesTakeTheCrossedBounds) {
  // On an axis under 200 pixels the update tests the upper bound first: a value above
  // extent - 100 becomes extent - 100, anything else is below 100 and becomes 100. Each case is
  // the first frame, so the centre starts at its middle.
  struct Case {
    cv::Size size;
    cv::Rect bright;  // the only non-black part of the frame
    FoveaCenter expected;
  };
  const Case cases[] = {
      // Centre (0, 0), centroid (0, 0): 0.15 truncates to 0, above -99.
      {{1, 1}, {0, 0, 1, 1}, {-99, -99}},
      // Centre (99, 99), centroid below 80: (99.5 - 80) * 0.3 + 99 > 104, above 99.
      {{199, 199}, {0, 0, 80, 80}, {99, 99}},
      // Centroid at 120 or more: (99.5 - 120) * 0.3 + 99 < 93, not above 99, so below 100.
      {{199, 199}, {120, 120, 79, 79}, {100, 100}},
      // Columns: centre 75, centroid 75 +- 10: at least 72, above 50. Rows: 250 is wide enough;
      // the bright band is centred, so the centre stays near 125.
      {{150, 250}, {65, 0, 20, 250}, {50, 125}},
  };
  for (const Case& c : cases) {
    LiveSession live;
    cv::Mat frame = makeFrame(c.size, CV_8UC3, Fill::black);
    frame(c.bright).setTo(cv::Scalar::all(255));
    const FoveaCenter center = live.frame(frame).center;
    EXPECT_EQ(center.cx, c.expected.cx) << c.size;
    if (c.size.height >= 2 * FoveaParameters{}.margin) {
      EXPECT_NEAR(center.cy, c.expected.cy, 5) << c.size;
    } else {
      EXPECT_EQ(center.cy, c.expected.cy) << c.size;
    }
  }
}

// On a 99-pixel axis the update clamps the centre to 99 - 100 = -1, which must stay an ordinary
// position: the next frame keeps the scale fixed by the first one (49/32768, not 360/32768).
TEST(HostileFrames, CenterClampedToMinusOneKeepsTheFirstFramesScale) {
  LiveSession live;
  std::vector<float> scales;
  for (const cv::Mat& frame :
       {makeFrame({99, 99}, CV_8UC3, Fill::white), makeFrame({1280, 720}, CV_8UC3, Fill::white)}) {
    live.frame(frame);
    scales.push_back(live.session.state().retinaScale);
  }
  EXPECT_EQ(scales, std::vector<float>(2, 49.0f / 32768.0f));
}
