// Sampling, emission, model wiring and the frame loop, driven by synthetic frames and keys.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "apps/demo/demo_loop.h"
#include "display/render.h"
#include "model/model.h"
#include "session/console_lines.h"
#include "session/parameters.h"
#include "session/sampling.h"
#include "session/session.h"
#include "session_fixture.h"

namespace {

constexpr float kScale720 = 360.0f / 32768.0f;  // retinaScale of a 1280x720 frame

Sensor makeSensor(int index, int x, int y, ColorClass colorClass) {
  return {index, x, y, colorClass, false, false};
}

// Emits one frame of `activations` with the given gain for every sensor and returns its events.
std::vector<RetinaEvent> emitWithGain(const std::vector<float>& activations, float gain) {
  GainTable table(static_cast<int>(activations.size()));
  std::vector<float> gains(activations.size(), gain);
  table.publish(gains);
  EventQueue queue;
  std::vector<float> scratch;
  emitFrameEvents(queue, activations, table, 12.5, scratch);
  return queue.drainAll();
}

// The activations of `retina` placed at `scale` around (cx, cy), as the frame loop samples them.
std::vector<float> sampled(const cv::Mat& frame, const Retina& retina, float scale, std::int32_t cx,
                           std::int32_t cy) {
  const PackedSensors packed = packSensors(retina.sensors, placeSensors(retina.sensors, scale));
  EXPECT_EQ(packed.size(), retina.sensors.size());
  std::vector<float> activations;
  sampleActivations(frame, packed, cx, cy, activations);
  return activations;
}

// Activation of a single sensor of class `colorClass` over a pixel of colour `bgr`.
float activationOver(ColorClass colorClass, cv::Vec3b bgr) {
  const cv::Mat frame(1, 1, CV_8UC3, cv::Scalar(bgr[0], bgr[1], bgr[2]));
  Retina retina{{makeSensor(0, 0, 0, colorClass)}};
  return sampled(frame, retina, 1.0f, 0, 0)[0];
}

bool emitsOver(ColorClass colorClass, cv::Vec3b bgr, float gain) {
  // Sensor 1 is outside the Konio mask, so an emitting sensor yields exactly two events.
  return emitWithGain({0.0f, activationOver(colorClass, bgr)}, gain).size() == 2;
}

}  // namespace

TEST(Sampling, MapsSensorsOntoTheFrameWithTruncationTowardZero) {
  // Each sensor sits over its own marked pixel; every other pixel is black.
  cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar::all(0));
  frame.at<cv::Vec3b>(360, 1000) = {0, 0, 200};  // (32768, 0) -> column 1000
  frame.at<cv::Vec3b>(365, 630) = {0, 0, 100};   // (-1000, 500): -10.986 -> -10, 5.493 -> 5
  frame.at<cv::Vec3b>(360, 640) = {0, 0, 50};    // every x in [-91, 91] lands on column 640
  const Retina retina{{
      makeSensor(0, 32768, 0, ColorClass::rosu), makeSensor(1, -1000, 500, ColorClass::rosu),
      makeSensor(2, -91, 0, ColorClass::rosu), makeSensor(3, 91, 0, ColorClass::rosu),
      makeSensor(4, -92, 0, ColorClass::rosu),  // -1.01 px: column 639, black
  }};
  const std::vector<float> a = sampled(frame, retina, kScale720, 640, 360);
  EXPECT_EQ(a, (std::vector<float>{200.0f / 255.0f, 100.0f / 255.0f, 50.0f / 255.0f, 50.0f / 255.0f,
                                   0.0f}));

  // Off-frame sensors keep 0.0 even over a white frame; row 0 and column 0 are inside.
  const cv::Mat white(720, 1280, CV_8UC3, cv::Scalar::all(255));
  const Retina edges{{makeSensor(0, 0, 32768, ColorClass::alb_negru),     // row 720
                      makeSensor(1, 0, -32768, ColorClass::alb_negru),    // row 0
                      makeSensor(2, 65536, 0, ColorClass::alb_negru),     // column 1360
                      makeSensor(3, -58255, 0, ColorClass::alb_negru)}};  // column 0
  const std::vector<float> e = sampled(white, edges, kScale720, 640, 360);
  EXPECT_EQ(e, (std::vector<float>{0.0f, 1.0f, 0.0f, 1.0f}));
}

TEST(Sampling, ClassesReadTheirChannelAndAnyOtherClassReadsTheMean) {
  const cv::Vec3b pixel{30, 60, 90};
  EXPECT_EQ(activationOver(ColorClass::albastru, pixel), 30.0f / 255.0f);
  EXPECT_EQ(activationOver(ColorClass::verde, pixel), 60.0f / 255.0f);
  EXPECT_EQ(activationOver(ColorClass::rosu, pixel), 90.0f / 255.0f);
  EXPECT_EQ(activationOver(ColorClass::alb_negru, pixel), 180.0f / 765.0f);
  EXPECT_EQ(activationOver(static_cast<ColorClass>(4), pixel), 180.0f / 765.0f);
  EXPECT_EQ(activationOver(static_cast<ColorClass>(255), pixel), 180.0f / 765.0f);
}

TEST(Emission, ThresholdIsStrictAndWeightedByGain) {
  EXPECT_TRUE(emitsOver(ColorClass::albastru, {8, 0, 0}, 1.0f));
  EXPECT_FALSE(emitsOver(ColorClass::albastru, {7, 0, 0}, 1.0f));
  EXPECT_TRUE(emitsOver(ColorClass::verde, {0, 8, 0}, 1.0f));
  EXPECT_FALSE(emitsOver(ColorClass::rosu, {0, 0, 7}, 1.0f));
  EXPECT_TRUE(emitsOver(ColorClass::alb_negru, {8, 8, 7}, 1.0f));   // sum 23
  EXPECT_FALSE(emitsOver(ColorClass::alb_negru, {8, 7, 7}, 1.0f));  // sum 22
  EXPECT_TRUE(emitsOver(ColorClass::rosu, {0, 0, 39}, 0.2f));
  EXPECT_FALSE(emitsOver(ColorClass::rosu, {0, 0, 38}, 0.2f));
  // A weight of exactly 0.03f stays silent.
  EXPECT_EQ(emitWithGain({0.0f, 0.03f}, 1.0f).size(), 1u);
}

TEST(Emission, FrameMarkerFirstThenSensorsInOrderWithKonioInputsForMaskedOnes) {
  // An all-black frame gives only the marker.
  const std::vector<RetinaEvent> black = emitWithGain(std::vector<float>(25, 0.0f), 1.0f);
  ASSERT_EQ(black.size(), 1u);
  EXPECT_EQ(black[0].kind, EventKind::FrameMarker);
  EXPECT_EQ(black[0].src, -1);
  EXPECT_EQ(black[0].dst, -1);
  EXPECT_EQ(black[0].weight, 0.0f);
  EXPECT_EQ(black[0].time, 12.5);

  std::vector<float> activations(25, 0.0f);
  activations[3] = 0.5f;    // unmasked
  activations[10] = 0.8f;   // masked
  activations[20] = 0.01f;  // masked but below the threshold: nothing at all
  const std::vector<RetinaEvent> events = emitWithGain(activations, 0.5f);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].kind, EventKind::FrameMarker);
  EXPECT_EQ(events[1].kind, EventKind::Photoreceptor);
  EXPECT_EQ(events[1].src, 3);
  EXPECT_EQ(events[1].dst, 3);
  EXPECT_EQ(events[1].weight, 0.25f);
  EXPECT_EQ(events[2].kind, EventKind::Photoreceptor);
  EXPECT_EQ(events[3].kind, EventKind::KonioInput);
  for (const RetinaEvent* e : {&events[2], &events[3]}) {
    EXPECT_EQ(e->src, 10);
    EXPECT_EQ(e->dst, 10);
    EXPECT_EQ(e->weight, 0.5f * 0.8f);
  }
  for (const RetinaEvent& e : events)
    EXPECT_EQ(e.time, 12.5);
}

namespace {

// Everything a consumer or an export can see of a queue after some frames: what it holds, its
// counters and its push log, as one comparable record.
struct QueueOutcome {
  std::vector<std::tuple<int, int, int, float, double>> events, log;
  std::size_t pushed = 0, size = 0, peak = 0;
  std::uint64_t displaced = 0;
  bool operator==(const QueueOutcome& o) const {
    return std::tie(events, log, pushed, size, peak, displaced) ==
           std::tie(o.events, o.log, o.pushed, o.size, o.peak, o.displaced);
  }
};

QueueOutcome emitTwoFrames(ModelMode mode, bool logged, const std::vector<float>& activations,
                           const GainTable& table) {
  EventQueue queue;
  std::vector<RetinaEvent> log;
  if (logged) queue.setPushLog(&log);
  for (int unit = 0; unit < 1500; ++unit)  // the previous batch's Konio output
    queue.push({7.0, unit, unit, 0.5f, EventKind::KonioOutput});
  QueueOutcome outcome;
  std::vector<float> scratch;
  for (double t1 : {8.0, 9.0})  // the second frame starts on a full ring
    outcome.pushed += emitFrameEvents(queue, activations, table, t1, scratch, mode);
  const EventQueueStats stats = queue.stats();
  outcome.size = stats.size;
  outcome.peak = stats.peak;
  outcome.displaced = stats.displaced;
  auto record = [](const std::vector<RetinaEvent>& from, auto& to) {
    for (const RetinaEvent& e : from)
      to.emplace_back(static_cast<int>(e.kind), e.src, e.dst, e.weight, e.time);
  };
  record(queue.drainAll(), outcome.events);
  record(log, outcome.log);
  return outcome;
}

}  // namespace

TEST(Emission, SteppedRunGivesTheQueueCountersAndLogOfOnePushPerEvent) {
  // Bright frames of the program's size with gains that silence some sensors: more events than
  // the bound keeps. Silencing the last few sensors moves the oldest surviving event across a
  // Photoreceptor, a KonioInput and the next sensor.
  constexpr int kSensors = 30202;
  std::vector<float> activations(kSensors), gains(kSensors);
  for (int i = 0; i < kSensors; ++i) {
    activations[i] = static_cast<float>((i * 37) % 101) / 100.0f;
    gains[i] = i % 7 == 0 ? 0.02f : 1.0f - static_cast<float>(i % 5) / 10.0f;
  }
  for (int silenced = 0; silenced < 12; ++silenced) {
    if (silenced > 0) activations[kSensors - silenced] = 0.0f;
    GainTable table(kSensors);
    std::vector<float> published = gains;
    table.publish(published);
    const QueueOutcome live = emitTwoFrames(ModelMode::workerThread, true, activations, table);
    ASSERT_GT(live.pushed, 2 * QueueParameters{}.capacity);
    EXPECT_TRUE(emitTwoFrames(ModelMode::steppedAfterEmission, true, activations, table) == live)
        << silenced;
    QueueOutcome unlogged =
        emitTwoFrames(ModelMode::steppedAfterEmission, false, activations, table);
    unlogged.log = live.log;  // nothing was logged; all else must match
    EXPECT_TRUE(unlogged == live) << silenced;
  }
}

TEST(ModelWiring, StartsNeutralAndIdlesWithoutEvents) {
  Model model(30202);
  const std::vector<bool>& mask = model.gainTable.konioMask();
  EXPECT_EQ(std::count(mask.begin(), mask.end(), true), 3021);
  EXPECT_TRUE(mask[30200]);
  EXPECT_FALSE(mask[30201]);
  EXPECT_EQ(model.konio.parameters.decay, 0.98f);
  EXPECT_EQ(model.trn.strength, 5.0f);

  std::atomic<bool> running{true};
  {
    ModelWorkerThread worker(running);
    startModelWorker(worker, model);
    std::vector<float> konio, gains;
    takeModelSnapshots(model, konio, gains);
    EXPECT_EQ(konio, std::vector<float>(30202, 0.0f));
    EXPECT_EQ(gains, std::vector<float>(30202, 1.0f));
    running.store(false);
    stopModelWorker(worker);
    EXPECT_FALSE(worker.thread.joinable());
    // The idle worker changed nothing.
    takeModelSnapshots(model, konio, gains);
    EXPECT_EQ(konio, std::vector<float>(30202, 0.0f));
    EXPECT_EQ(gains, std::vector<float>(30202, 1.0f));
  }
}

TEST(ModelWiring, WorkerIsJoinedWhenTheLoopThrows) {
  // Leaving the loop by an exception destroys the session and with it the model; the worker
  // thread must have been joined by then, or this would crash or hang.
  int frames = 0;
  auto run = [&] {
    TestSession t(ModelMode::workerThread);
    const cv::Mat frame(120, 160, CV_8UC3, cv::Scalar::all(200));
    for (;;) {
      t.frame(frame);
      if (++frames == 3) throw std::runtime_error("stage failed");
    }
  };
  EXPECT_THROW(run(), std::runtime_error);
  EXPECT_EQ(frames, 3);
}

TEST(Session, FirstFramePlacesTheCenterAndFixesTheScale) {
  struct Case {
    cv::Size size;
    FoveaCenter center;
    float scale;
  };
  for (const Case& c : {Case{{1280, 720}, {640, 360}, 360.0f / 32768.0f},
                        Case{{641, 481}, {320, 240}, 240.0f / 32768.0f}}) {
    TestSession t;
    const FrameResult r = t.frame(cv::Mat(c.size, CV_8UC3, cv::Scalar::all(0)));  // black: stays
    ASSERT_TRUE(r.drawn);
    EXPECT_EQ(r.center.cx, c.center.cx);
    EXPECT_EQ(r.center.cy, c.center.cy);
    EXPECT_EQ(t.session.state().retinaScale, c.scale);
    EXPECT_EQ(r.canvas.size(), c.size);
    EXPECT_EQ(r.eventsPushed, 1u);  // the frame marker alone
  }
}

TEST(Session, FrameTimeRunsFromT0ToTheMarkerAndCaptureTimeIsT1) {
  TestSession t;
  const cv::Mat frame(90, 120, CV_8UC3, cv::Scalar::all(0));
  const SteadyTime t0 = t.clock;
  const SteadyTime t1 = t0 + std::chrono::milliseconds(40);
  // The marker is drawn 7.9 ms after t1.
  FrameTimes times{t0, t1, t1 + std::chrono::microseconds(7900), 0.0};
  const FrameResult r = t.session.step(frame, times);
  EXPECT_EQ(r.frameTimeMs, 47);  // 47.9 ms truncated
  EXPECT_EQ(r.captureTime, steadySeconds(t1));
}

TEST(Demo, ResetKeyRecentersWithoutRescalingAndOnlyLowerCaseR) {
  // A bright patch left of the middle pulls the centroid left, so the centre moves right.
  cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar::all(0));
  cv::rectangle(frame, {300, 200}, {500, 500}, cv::Scalar::all(255), cv::FILLED);
  // 'r' with a high bit set (as some back-ends report modifiers) is another key, not 'r'.
  for (int key : {int{'R'}, int{'r'}, 'r' | 0x100000}) {
    TestSession t;
    for (int i = 0; i < 3; ++i)
      t.frame(frame);
    EXPECT_FALSE(applyKey(t.session, key));
    EXPECT_EQ(t.session.state().retinaScale, kScale720);
    if (key == 'r') {
      EXPECT_EQ(t.session.state().center.cx, 640);
      EXPECT_EQ(t.session.state().center.cy, 360);
    } else {
      EXPECT_GT(t.session.state().center.cx, 640) << key;
    }
  }
}

TEST(Demo, OnlyEscapeQuitsAndNothingElseMoves) {
  TestSession t;
  t.frame(cv::Mat(90, 120, CV_8UC3, cv::Scalar::all(0)));
  const FoveaCenter before = t.session.state().center;
  for (int key : {-1, 0, int{'q'}, 27 | 0x100000, 255})
    EXPECT_FALSE(applyKey(t.session, key)) << key;
  EXPECT_TRUE(applyKey(t.session, 27));
  EXPECT_EQ(t.session.state().center.cx, before.cx);
  EXPECT_EQ(t.session.state().center.cy, before.cy);
}

TEST(Demo, LatencyLineAfterMoreThanTwoSecondsAtMostOncePerFrame) {
  ScriptedIo script;
  script.frames.assign(12, cv::Mat(90, 120, CV_8UC3, cv::Scalar::all(0)));
  script.advancePerRead = std::chrono::milliseconds(500);  // each frame takes 500 ms to arrive
  FrameIo io = script.io();
  std::ostringstream out;
  runDemo(io, script.clock, out, script.config());
  // Checks at 0.5, 1.0, ... s: exactly 2.0 s is not more than 2 s, so lines at 2.5 s and 5.0 s
  // (2.5 s after the previous check), carrying that frame's time.
  const std::vector<std::string> got = consoleLines(out.str());
  const std::vector<std::string> expected = {
      "Generati 30202 senzori.",
      "Demo C++ cu camera si model neuronal (Konio + TRN)",
      "Taste: 'r' - reseteaza centrul, ESC - iesire",
      "[Latency] Frame processing: 500 ms",
      "[Latency] Frame processing: 500 ms",
  };
  EXPECT_EQ(got, expected);
  // One key poll per frame shown, each waiting 1 ms.
  EXPECT_EQ(script.keyWaitsMs, std::vector<int>(12, 1));
}

TEST(Demo, EscapeEndsTheLoopBeforeTheLatencyCheck) {
  ScriptedIo script;
  script.frames.assign(3, cv::Mat(90, 120, CV_8UC3, cv::Scalar::all(0)));
  script.keys = {-1, 27};
  script.advancePerRead = std::chrono::seconds(3);
  FrameIo io = script.io();
  std::ostringstream out;
  EXPECT_EQ(runDemo(io, script.clock, out, script.config()).exit, LoopExit::quitKey);
  EXPECT_EQ(script.framesRead, 2u);
  // Frame 1 is more than 2 s after start-up and prints; frame 2 quits before its check.
  EXPECT_EQ(consoleLines(out.str()).size(), 4u);
}

TEST(Demo, EmptyFirstFrameEndsAfterBannerAndShowsNothing) {
  ScriptedIo script;
  FrameIo io = script.io();
  std::ostringstream out;
  EXPECT_EQ(runDemo(io, script.clock, out, script.config()).exit, LoopExit::emptyFrame);
  EXPECT_EQ(out.str(),
            "Generati 30202 senzori.\n"
            "Demo C++ cu camera si model neuronal (Konio + TRN)\n"
            "Taste: 'r' - reseteaza centrul, ESC - iesire\n");
  EXPECT_TRUE(script.shown.empty());
  EXPECT_EQ(script.keyPolls, 0u);
}

TEST(Demo, ConvertsGreyBgraAndSixteenBitFramesAndSkipsOthers) {
  const cv::Size size(160, 120);
  cv::Mat bgr(size, CV_8UC3, cv::Scalar(40, 120, 200));
  cv::Mat grey(size, CV_8UC1, cv::Scalar(120));
  cv::Mat bgra(size, CV_8UC4, cv::Scalar(40, 120, 200, 7));
  cv::Mat deep(size, CV_16UC3, cv::Scalar(40 * 257, 120 * 257, 200 * 257));
  cv::Mat real(size, CV_32FC3, cv::Scalar::all(0.5));
  cv::Mat twoChannel(size, CV_8UC2, cv::Scalar::all(9));

  cv::Mat converted = grey.clone();
  ASSERT_TRUE(convertToBgr8(converted));
  EXPECT_EQ(converted.type(), CV_8UC3);
  EXPECT_EQ(converted.at<cv::Vec3b>(5, 5), cv::Vec3b(120, 120, 120));
  for (cv::Mat colour : {bgra.clone(), deep.clone()}) {
    ASSERT_TRUE(convertToBgr8(colour));
    EXPECT_EQ(colour.type(), CV_8UC3);
    EXPECT_EQ(colour.at<cv::Vec3b>(5, 5), cv::Vec3b(40, 120, 200));
  }
  for (cv::Mat odd : {real.clone(), twoChannel.clone()}) {
    const cv::Mat before = odd.clone();
    EXPECT_FALSE(convertToBgr8(odd));
    EXPECT_EQ(cv::norm(odd, before, cv::NORM_INF), 0.0);
  }

  // Through the loop: skipped frames show nothing but still get their key poll, and a new size
  // is used at once.
  ScriptedIo script;
  script.frames = {bgr,        real, bgra,
                   twoChannel, deep, cv::Mat(200, 300, CV_8UC3, cv::Scalar::all(9))};
  FrameIo io = script.io();
  std::ostringstream out;
  runDemo(io, script.clock, out, script.config(ModelMode::steppedAfterEmission));
  ASSERT_EQ(script.shown.size(), 4u);
  EXPECT_EQ(script.keyPolls, 6u);
  EXPECT_EQ(script.shown[3].size(), cv::Size(300, 200));
}

TEST(Session, BrightFramesFeedBackAsDarkenedDiscsAndRedRings) {
  // Bright, textured frames make strong sensor drive; the TRN stage answers with low gains. The
  // model is stepped once after each emission, so the first canvas already shows its answer.
  // No pixel of the scene reaches 255: pure red on a canvas can only be a ring.
  cv::Mat frame(720, 1280, CV_8UC3);
  cv::randu(frame, 0, 250);
  cv::rectangle(frame, {500, 250}, {800, 480}, cv::Scalar::all(250), cv::FILLED);
  TestSession t;
  const FrameLoopState& state = t.session.state();

  std::vector<std::size_t> eventsPushed;
  std::vector<cv::Mat> shown;
  std::vector<cv::Mat> withoutGains;  // the same frames drawn as if every gain were 1.0
  for (int i = 0; i < 2; ++i) {
    const FrameResult r = t.frame(frame);
    eventsPushed.push_back(r.eventsPushed);
    shown.push_back(r.canvas.clone());
    withoutGains.emplace_back();
    renderRetina(state.frame, state.discs, state.center.cx, state.center.cy, withoutGains.back());
  }

  auto countRed = [](const cv::Mat& canvas) {
    cv::Mat red;
    cv::inRange(canvas, cv::Scalar(0, 0, 255), cv::Scalar(0, 0, 255), red);
    return cv::countNonZero(red);
  };
  EXPECT_EQ(countRed(withoutGains[0]), 0);
  EXPECT_GT(countRed(shown[0]), 1000);
  const cv::Rect retinaArea(280, 0, 720, 720);  // away from the overlay texts
  EXPECT_LT(cv::mean(shown[0](retinaArea))[1], 0.8 * cv::mean(withoutGains[0](retinaArea))[1]);
  // The gains weigh the next frame's activations: fewer sensors pass the threshold.
  EXPECT_LT(eventsPushed[1], eventsPushed[0]);
}

TEST(Demo, RunsWithTheWorkerThreadAndStopsCleanly) {
  cv::Mat frame(480, 640, CV_8UC3);
  cv::randu(frame, 0, 256);
  ScriptedIo script;
  script.frames.assign(30, frame);
  FrameIo io = script.io();
  std::ostringstream out;
  EXPECT_EQ(runDemo(io, script.clock, out, script.config()).exit, LoopExit::emptyFrame);
  EXPECT_EQ(script.shown.size(), 30u);
}

TEST(Session, FoveaAnswersAMovingBrightKonioActivePatch) {
  // A bright patch right of the middle, then left of it. The centre moves by 0.3 of the offset
  // from the weighted centroid to the frame's middle: away from the patch's side, by more once
  // the patch has Konio activity. The model is stepped after each emission, so Konio activity
  // builds up under the patch.
  TestSession t;
  std::vector<FoveaCenter> centers;
  std::vector<float> konioUnderPatch;
  cv::Mat right(720, 1280, CV_8UC3, cv::Scalar::all(0)), left = right.clone();
  cv::circle(right, {900, 360}, 60, cv::Scalar::all(255), cv::FILLED);
  cv::circle(left, {380, 360}, 60, cv::Scalar::all(255), cv::FILLED);
  for (const cv::Mat* frame : {&right, &right, &right, &right, &left, &left, &left, &left}) {
    centers.push_back(t.frame(*frame).center);
    float sum = 0.0f;
    for (float a : t.session.state().konioSnapshot)
      sum += a;
    konioUnderPatch.push_back(sum);
  }

  EXPECT_LT(centers[0].cx, 640);  // bright on the right: the centre steps left at once
  for (int i = 1; i < 4; ++i)
    EXPECT_LT(centers[i].cx, centers[i - 1].cx) << i;
  EXPECT_GT(centers[4].cx, centers[3].cx);  // the patch moved left: the centre turns right
  EXPECT_GT(konioUnderPatch[3], 0.0f);
  for (const FoveaCenter& c : centers)
    EXPECT_NEAR(c.cy, 360, 6);  // the patch is centred in y
}

TEST(Session, MarkerAfterResetIsOneUpdateFromTheMiddleAndTheFrameIsNeverDrawnOn) {
  TestSession t;
  const FrameLoopState& state = t.session.state();
  cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar::all(0));
  cv::rectangle(frame, {250, 150}, {450, 400}, cv::Scalar(90, 160, 230), cv::FILLED);
  const cv::Mat original = frame.clone();
  for (int i = 0; i < 3; ++i)
    t.frame(frame);
  // The reset key changes the centre alone: not the scale, the model or the snapshots.
  const std::vector<float> gainsBefore = state.gainSnapshot;
  const std::vector<float> konioBefore = state.konioSnapshot;
  const EventQueueStats queueBefore = t.session.queueStats();
  ASSERT_FALSE(applyKey(t.session, 'r'));
  EXPECT_EQ(state.center.cx, 640);
  EXPECT_EQ(state.center.cy, 360);
  EXPECT_EQ(state.retinaScale, kScale720);
  EXPECT_EQ(state.gainSnapshot, gainsBefore);
  EXPECT_EQ(state.konioSnapshot, konioBefore);
  EXPECT_EQ(t.session.queueStats().size, queueBefore.size);

  // The next frame starts from the middle and makes one update.
  FoveaCenter expected{640, 360};
  const FrameResult r = t.frame(frame);
  updateFoveaCenter(state.frame, state.packed, expected, state.konioSnapshot, FoveaParameters{});
  EXPECT_EQ(r.center.cx, expected.cx);
  EXPECT_EQ(r.center.cy, expected.cy);
  EXPECT_NE(expected.cx, 640);
  // The marker ring (radius 8, 2 px thick, yellow) is drawn around that centre.
  EXPECT_EQ(r.canvas.at<cv::Vec3b>(expected.cy, expected.cx + 8), cv::Vec3b(0, 255, 255));
  // The frame the stages read is still exactly the camera's image.
  EXPECT_EQ(cv::norm(frame, original, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(state.frame, original, cv::NORM_INF), 0.0);
}

TEST(Session, ScaleFollowsTheConfiguredDiameterAndTheSensorsAreTheGenerators) {
  // diameter / 2 retina units span the 360 pixels from a 1280x720 frame's middle to its nearest
  // edge, so the outermost spiral point lands some 360 pixels out whatever the diameter.
  for (const RetinaLayout& layout : {RetinaLayout{}, RetinaLayout{500, 1000, 200, 4, 3, 5.0f},
                                     RetinaLayout{500, 999, 0, 0, 2}}) {
    SCOPED_TRACE("diameter " + std::to_string(layout.diameter));
    TestSession t(ModelMode::steppedAfterEmission, layout);
    t.frame(cv::Mat(720, 1280, CV_8UC3, cv::Scalar::all(0)));
    const Retina expected = generateFibonacciRetina(layout);
    const std::vector<Sensor>& sensors = t.session.retina().sensors;
    ASSERT_EQ(sensors.size(), expected.sensors.size());
    for (std::size_t i = 0; i < sensors.size(); ++i)
      ASSERT_TRUE(sensors[i].x == expected.sensors[i].x && sensors[i].y == expected.sensors[i].y);
    std::ostringstream banner;
    printBanner(banner, t.session.sensorCount(), false);
    EXPECT_EQ(consoleLines(banner.str()).at(0),
              "Generati " + std::to_string(sensors.size()) + " senzori.");
    const FrameLoopState& state = t.session.state();
    EXPECT_EQ(state.retinaScale, 360.0f * (1.0f / (static_cast<float>(layout.diameter) * 0.5f)));
    double farthest = 0.0;
    for (std::size_t i = 0; i < sensors.size(); ++i) {
      if (sensors[i].isSpiral)
        farthest = std::max(farthest, std::hypot(state.offsets[i].x, state.offsets[i].y));
    }
    EXPECT_NEAR(farthest, 360.0, 1.5);
  }
}

namespace {

// What a short stepped run on a moving scene did, frame by frame.
struct RunDigest {
  std::vector<cv::Mat> canvases;
  std::vector<std::size_t> events;
  std::vector<std::pair<int, int>> centers;
  std::vector<float> gains, konio;  // the last frame's snapshots
  std::uint64_t displaced = 0;

  bool operator==(const RunDigest& o) const {
    if (canvases.size() != o.canvases.size()) return false;
    for (std::size_t i = 0; i < canvases.size(); ++i) {
      if (canvases[i].size() != o.canvases[i].size() ||
          cv::norm(canvases[i], o.canvases[i], cv::NORM_INF) != 0.0) {
        return false;
      }
    }
    return events == o.events && centers == o.centers && gains == o.gains && konio == o.konio &&
           displaced == o.displaced;
  }
};

// A 320x240 scene: a white disc moving right along the top left, which pulls a model-driven
// fovea past the default margin, and a coloured band at the bottom.
RunDigest digestOf(const Parameters& parameters) {
  TestSession t(ModelMode::steppedAfterEmission, parameters);
  RunDigest digest;
  for (int f = 0; f < 8; ++f) {
    cv::Mat frame(240, 320, CV_8UC3, cv::Scalar::all(0));
    cv::rectangle(frame, {0, 200}, {319, 239}, cv::Scalar(200, 40, 120), cv::FILLED);
    cv::circle(frame, {30 + 12 * f, 50}, 28, cv::Scalar::all(255), cv::FILLED);
    const FrameResult r = t.frame(frame);
    digest.canvases.push_back(r.canvas.clone());
    digest.events.push_back(r.eventsPushed);
    digest.centers.emplace_back(r.center.cx, r.center.cy);
  }
  digest.gains = t.session.state().gainSnapshot;
  digest.konio = t.session.state().konioSnapshot;
  digest.displaced = t.session.queueStats().displaced;
  return digest;
}

}  // namespace

TEST(Session, EveryParameterReachesItsStage) {
  // One changed value per key, each one that shows within eight frames of the scene.
  const std::map<std::string, double> changed{{"retina.spiral_points", 2048},
                                              {"retina.diameter", 50000},
                                              {"retina.foveal_radius", 4096},
                                              {"retina.foveal_satellites", 6},
                                              {"retina.peripheral_satellites", 3},
                                              {"retina.satellite_radius", 3000},
                                              {"sampling.emit_threshold", 0.5},
                                              {"queue.capacity", 100},
                                              {"konio.decay", 0.5},
                                              {"konio.input_threshold", 0.9},
                                              {"konio.input_gain", 0.1},
                                              {"konio.output_threshold", 0.6},
                                              {"trn.strength", 1.0},
                                              {"trn.mask_stride", 3},
                                              {"fovea.step_fraction", 0.9},
                                              {"fovea.margin", 10},
                                              {"fovea.prime_spiral_weight", 0.0},
                                              {"fovea.konio_weight", 0.0},
                                              {"drawing.low_gain_threshold", 0.9}};
  const RunDigest defaults = digestOf(Parameters{});
  ASSERT_TRUE(digestOf(Parameters{}) == defaults) << "a stepped run does not repeat";
  for (const ParameterKey& key : parameterKeys()) {
    SCOPED_TRACE(key.path());
    const auto value = changed.find(key.path());
    ASSERT_NE(value, changed.end()) << "no case for this key";
    Parameters parameters;
    setParameterValue(parameters, key, value->second);
    ASSERT_EQ(validateParameters(parameters), "");
    EXPECT_FALSE(digestOf(parameters) == defaults) << "the run did not change";
  }
}

TEST(Session, AHeldFoveaStaysAndAPathHoldsEachWaypointUntilTheNext) {
  // A bright patch right of the middle pulls the model's fovea left at once.
  cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar::all(0));
  cv::circle(frame, {900, 360}, 60, cv::Scalar::all(255), cv::FILLED);
  const std::vector<FoveaWaypoint> path{{2, 300, 200}, {4, 1000, 600}};
  // The reset key comes after frame 4: back to the middle until a next waypoint.
  const struct {
    FoveaMode mode;
    std::vector<cv::Point> centers;
  } cases[] = {
      {FoveaMode::fixed, {{640, 360}, {640, 360}, {640, 360}, {640, 360}, {640, 360}, {640, 360}}},
      {FoveaMode::path, {{640, 360}, {300, 200}, {300, 200}, {1000, 600}, {640, 360}, {640, 360}}},
  };
  for (const auto& c : cases) {
    TestSession t(ModelMode::steppedAfterEmission, Parameters{}, FoveaControl{c.mode, path});
    for (std::size_t f = 0; f < c.centers.size(); ++f) {
      if (f == 4) applyKey(t.session, 'r');
      const FrameResult r = t.frame(frame);
      const cv::Point expected = c.centers[f];
      EXPECT_EQ(cv::Point(r.center.cx, r.center.cy), expected) << "frame " << f + 1;
      // Drawn around it: the marker's yellow ring of radius 8.
      EXPECT_EQ(r.canvas.at<cv::Vec3b>(expected.y, expected.x + 8), cv::Vec3b(0, 255, 255));
    }
  }
  TestSession model;
  EXPECT_LT(model.frame(frame).center.cx, 640);  // the patch does pull a model-driven fovea
}

// The demo's loop compares each key whole: a code that only ends in ESC's or 'r''s low byte (a
// back-end's modifier bits) neither quits nor recentres.
TEST(Demo, TheLoopTakesOnlyWholeKeyCodes) {
  cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar::all(0));
  cv::rectangle(frame, {300, 200}, {500, 500}, cv::Scalar::all(255), cv::FILLED);
  ScriptedIo script;
  script.frames.assign(6, frame);
  script.keys = {-1, -1, 27 | 0x100, 114 | 0x10000, 27 | 0x100000, -1};
  FrameIo io = script.io();
  std::ostringstream out;
  EXPECT_EQ(runDemo(io, script.clock, out, script.config(ModelMode::steppedAfterEmission)).exit,
            LoopExit::emptyFrame);
  EXPECT_EQ(script.framesRead, 7u);  // every frame, then the empty one
  // With 'r' taken, the fovea marker would be back in the middle of the fifth frame's canvas.
  ScriptedIo recentred;
  recentred.frames.assign(6, frame);
  recentred.keys = {-1, -1, -1, 114, -1, -1};
  FrameIo io2 = recentred.io();
  runDemo(io2, recentred.clock, out, recentred.config(ModelMode::steppedAfterEmission));
  ASSERT_EQ(script.shown.size(), 6u);
  ASSERT_EQ(recentred.shown.size(), 6u);
  EXPECT_GT(cv::norm(script.shown[4], recentred.shown[4], cv::NORM_INF), 0.0);
}

// After the frame size changes, 'r' puts the centre in the middle of the current frame and keeps
// the scale and the sensors' placement the first frame fixed.
TEST(Demo, ResetAfterTheFrameSizeChangedOnlyRecentres) {
  TestSession t;
  t.frame(cv::Mat(720, 1280, CV_8UC3, cv::Scalar::all(0)));
  const SensorOffsets offsets = t.session.state().offsets;
  t.frame(cv::Mat(300, 500, CV_8UC3, cv::Scalar::all(0)));
  EXPECT_FALSE(applyKey(t.session, 'r'));
  EXPECT_EQ(t.session.state().center.cx, 250);
  EXPECT_EQ(t.session.state().center.cy, 150);
  EXPECT_EQ(t.session.state().retinaScale, kScale720);
  EXPECT_EQ(t.session.state().placedFrameSize, cv::Size(1280, 720));
  EXPECT_TRUE(t.session.state().offsets == offsets);
}
