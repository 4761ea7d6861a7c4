#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model/event_queue.h"
#include "model/konio_layer.h"
#include "model/model_worker.h"
#include "model/trn_layer.h"

namespace {

RetinaEvent makeEvent(EventKind kind, std::int32_t src, std::int32_t dst, float weight,
                      double time = 0.0) {
  RetinaEvent e;
  e.time = time;
  e.src = src;
  e.dst = dst;
  e.weight = weight;
  e.kind = kind;
  return e;
}

// One sensor as the frame loop emits it: a Photoreceptor event, plus a KonioInput if masked.
void addSensor(std::vector<RetinaEvent>& events, int index, float weight, bool masked) {
  events.push_back(makeEvent(EventKind::Photoreceptor, index, index, weight));
  if (masked) {
    events.push_back(makeEvent(EventKind::KonioInput, index, index, weight));
  }
}

std::vector<float> gainsOf(const GainTable& table) {
  return table.gains();
}

float activityOf(const KonioLayer& konio, int unit) {
  return konio.activity[static_cast<std::size_t>(unit)].load();
}

// ---------------------------------------------------------------------------------------------
// Event queue

constexpr std::size_t kEventQueueLimit = QueueParameters{}.capacity;  // the program's bound

TEST(EventQueue, BoundDisplacesExactlyTheOldest) {
  EventQueue full;
  for (int i = 0; i < static_cast<int>(kEventQueueLimit); ++i) {
    full.push(makeEvent(EventKind::Photoreceptor, 0, i, 0.0f));
  }
  EXPECT_EQ(full.stats().displaced, 0u);
  full.push(makeEvent(EventKind::FrameMarker, -1, -1, 0.0f, 7.0));
  EventQueueStats s = full.stats();
  EXPECT_EQ(s.size, kEventQueueLimit);
  EXPECT_EQ(s.displaced, 1u);
  EXPECT_EQ(s.peak, kEventQueueLimit);
  std::vector<RetinaEvent> drained = full.drainAll();
  ASSERT_EQ(drained.size(), kEventQueueLimit);
  EXPECT_EQ(drained.front().dst, 1);  // event 0 is gone, event 1 is the oldest now
  EXPECT_EQ(drained[drained.size() - 2].dst, static_cast<int>(kEventQueueLimit) - 1);
  EXPECT_EQ(drained.back().kind, EventKind::FrameMarker);
  EXPECT_EQ(drained.back().time, 7.0);

  EventQueue almost;
  for (int i = 0; i < static_cast<int>(kEventQueueLimit) - 1; ++i) {
    almost.push(makeEvent(EventKind::Photoreceptor, 0, i, 0.0f));
  }
  almost.push(makeEvent(EventKind::KonioOutput, 5, 5, 0.5f));
  s = almost.stats();
  EXPECT_EQ(s.size, kEventQueueLimit);
  EXPECT_EQ(s.displaced, 0u);
  drained = almost.drainAll();
  ASSERT_EQ(drained.size(), kEventQueueLimit);
  EXPECT_EQ(drained.front().dst, 0);
  EXPECT_EQ(drained.back().kind, EventKind::KonioOutput);

  EXPECT_EQ(kEventQueueLimit, 20000u);
  EXPECT_THROW(EventQueue(0), std::invalid_argument);
}

TEST(EventQueue, DrainKeepsPushOrderAcrossProducersAndEmpties) {
  EventQueue queue;
  EXPECT_TRUE(queue.drainAll().empty());
  EXPECT_EQ(queue.stats().size, 0u);

  // Frame-loop pushes on this thread interleaved with pushes from a second thread; each join
  // fixes the order.
  const std::vector<RetinaEvent> sent = {makeEvent(EventKind::FrameMarker, -1, -1, 0.0f, 1.0),
                                         makeEvent(EventKind::KonioOutput, 20, 20, 0.75f, 2.0),
                                         makeEvent(EventKind::Photoreceptor, 3, 3, 0.25f, 1.0),
                                         makeEvent(EventKind::KonioInput, 3, 3, 0.25f, 1.0),
                                         makeEvent(EventKind::KonioOutput, 30, 30, 0.5f, 2.0)};
  queue.push(sent[0]);
  std::thread([&] { queue.push(sent[1]); }).join();
  queue.push(sent[2]);
  queue.push(sent[3]);
  std::thread([&] { queue.push(sent[4]); }).join();

  const std::vector<RetinaEvent> drained = queue.drainAll();
  ASSERT_EQ(drained.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(drained[i].kind, sent[i].kind) << i;
    EXPECT_EQ(drained[i].src, sent[i].src) << i;
    EXPECT_EQ(drained[i].dst, sent[i].dst) << i;
    EXPECT_EQ(drained[i].weight, sent[i].weight) << i;
    EXPECT_EQ(drained[i].time, sent[i].time) << i;
  }
  EXPECT_TRUE(queue.drainAll().empty());
  EXPECT_EQ(queue.stats().peak, 5u);
}

TEST(EventQueue, ConcurrentProducersLoseOnlyDisplacedEvents) {
  constexpr int kPerProducer = 30000;
  constexpr int kProducers = 2;
  constexpr int kFirstDrainAfter = static_cast<int>(kEventQueueLimit) + 5000;
  EventQueue queue;
  std::atomic<int> pushed{0};
  std::atomic<int> producersDone{0};

  auto produce = [&](int id) {
    for (int seq = 0; seq < kPerProducer; ++seq) {
      queue.push(makeEvent(EventKind::Photoreceptor, id, seq, static_cast<float>(seq)));
      pushed.fetch_add(1);
    }
    producersDone.fetch_add(1);
  };

  std::vector<int> drainedCount(kProducers, 0);
  std::vector<int> lastSeq(kProducers, -1);
  int outOfOrder = 0;
  int badSource = 0;
  auto take = [&](const std::vector<RetinaEvent>& batch) {
    for (const RetinaEvent& e : batch) {
      if (e.src < 0 || e.src >= kProducers || e.weight != static_cast<float>(e.dst)) {
        ++badSource;
        continue;
      }
      if (e.dst <= lastSeq[e.src]) {
        ++outOfOrder;
      }
      lastSeq[e.src] = e.dst;
      ++drainedCount[e.src];
    }
  };
  std::thread consumer([&] {
    // Let the queue overflow before the first drain so the bound is certainly exercised.
    while (pushed.load() < kFirstDrainAfter) {
      std::this_thread::yield();
    }
    while (producersDone.load() < kProducers) {
      take(queue.drainAll());
    }
    take(queue.drainAll());
  });
  std::thread p0(produce, 0);
  std::thread p1(produce, 1);
  p0.join();
  p1.join();
  consumer.join();

  const EventQueueStats s = queue.stats();
  EXPECT_EQ(s.size, 0u);
  EXPECT_GE(s.displaced, static_cast<std::uint64_t>(kFirstDrainAfter) - kEventQueueLimit);
  EXPECT_EQ(s.peak, kEventQueueLimit);
  EXPECT_EQ(badSource, 0);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(static_cast<std::uint64_t>(drainedCount[0] + drainedCount[1]) + s.displaced,
            static_cast<std::uint64_t>(kProducers * kPerProducer));
  // Nothing follows the very last push, so that event was drained; one producer may have lost
  // all of its events to the other's pushes before the consumer ran.
  EXPECT_TRUE(lastSeq[0] == kPerProducer - 1 || lastSeq[1] == kPerProducer - 1);
}

// Event number `n` of a test run, recognisable in any slot of the ring.
RetinaEvent numbered(int n) {
  return makeEvent(EventKind::Photoreceptor, n % 30202, n, static_cast<float>(n), 0.5 * n);
}

void expectSameEvents(const std::vector<RetinaEvent>& actual,
                      const std::vector<RetinaEvent>& expected, const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(actual[i].dst == expected[i].dst && actual[i].src == expected[i].src &&
                actual[i].weight == expected[i].weight && actual[i].time == expected[i].time &&
                actual[i].kind == expected[i].kind)
        << what << ", event " << i;
  }
}

TEST(EventQueue, RunEndsExactlyAsOneByOnePushes) {
  // `before` events pushed one by one (those beyond the bound move the ring's oldest slot), then
  // a run of `run` events; with and without a push log.
  // The last cases hold a capacity set at run time.
  const struct {
    int before;
    int run;
    std::size_t capacity = kEventQueueLimit;
  } cases[] = {{0, 0},         {0, 1},         {0, 20000},    {0, 20001}, {0, 45123},
               {15000, 4999},  {15000, 5001},  {19999, 3},    {20000, 1}, {20123, 7000},
               {27000, 19999}, {27000, 20000}, {3000, 50000}, {20123, 0}, {0, 9, 7},
               {5, 3, 7},      {5, 20, 7},     {13, 6, 7},    {2, 40, 1}};
  for (const auto& c : cases) {
    for (const bool logged : {false, true}) {
      const std::string what = "before " + std::to_string(c.before) + " run " +
                               std::to_string(c.run) + " capacity " + std::to_string(c.capacity) +
                               (logged ? " logged" : "");
      EventQueue oneByOne(c.capacity), asRun(c.capacity);
      std::vector<RetinaEvent> oneByOneLog, asRunLog;
      if (logged) {
        oneByOne.setPushLog(&oneByOneLog);
        asRun.setPushLog(&asRunLog);
      }
      for (int n = 0; n < c.before; ++n) {
        oneByOne.push(numbered(n));
        asRun.push(numbered(n));
      }
      for (int n = c.before; n < c.before + c.run; ++n)
        oneByOne.push(numbered(n));
      std::size_t asked = 0;
      asRun.pushRun(static_cast<std::size_t>(c.run),
                    [&](std::size_t skip, EventQueue::RunWriter& write) {
                      for (int j = static_cast<int>(skip); j < c.run; ++j, ++asked)
                        write(numbered(c.before + j));
                    });
      // Only what survives is built, unless every event has to be logged.
      const std::size_t survivors = std::min<std::size_t>(c.run, c.capacity);
      EXPECT_EQ(asked, logged ? static_cast<std::size_t>(c.run) : survivors) << what;

      const EventQueueStats a = asRun.stats(), e = oneByOne.stats();
      EXPECT_EQ(a.size, e.size) << what;
      EXPECT_EQ(a.displaced, e.displaced) << what;
      EXPECT_EQ(a.peak, e.peak) << what;
      expectSameEvents(asRun.drainAll(), oneByOne.drainAll(), what);
      expectSameEvents(asRunLog, oneByOneLog, what + ", log");
      // The ring goes on as a queue after the run.
      asRun.push(numbered(-1));
      ASSERT_EQ(asRun.drainAll().size(), 1u) << what;
    }
  }
}

TEST(EventQueue, RunThatWritesAnotherCountThrows) {
  EventQueue queue;
  EXPECT_THROW(queue.pushRun(3, [](std::size_t, EventQueue::RunWriter& write) { write({}); }),
               std::logic_error);
}

// ---------------------------------------------------------------------------------------------
// Konio stage

constexpr float kDecay = 0.98f;  // the default decay, which the layers below run with

TEST(KonioLayer, RisesOnlyAboveThresholdAndSaturates) {
  EventQueue queue;
  KonioLayer konio(40);
  EXPECT_EQ(konio.size(), 40);
  for (int i = 0; i < konio.size(); ++i) {
    EXPECT_EQ(activityOf(konio, i), 0.0f);
  }

  // An input of exactly 0.05 counts as too weak: the unit decays.
  konio.activity[0].store(0.5f);
  std::vector<RetinaEvent> events;
  addSensor(events, 0, 0.05f, true);
  konio.step(events, 0.0, queue);
  EXPECT_EQ(activityOf(konio, 0), kDecay * 0.5f);
  queue.drainAll();

  // Two weak inputs in one batch are summed before the threshold test.
  events.clear();
  events.push_back(makeEvent(EventKind::KonioInput, 10, 10, 0.03f));
  events.push_back(makeEvent(EventKind::KonioInput, 10, 10, 0.03f));
  konio.step(events, 0.0, queue);
  EXPECT_EQ(activityOf(konio, 10), (0.03f + 0.03f) * 0.5f);
  queue.drainAll();

  // 0.2 per step adds 0.1 per step and reaches the ceiling in the tenth step, not before.
  events.clear();
  events.push_back(makeEvent(EventKind::KonioInput, 20, 20, 0.2f));
  for (int stepNo = 1; stepNo <= 10; ++stepNo) {
    konio.step(events, 0.0, queue);
    if (stepNo < 10) {
      EXPECT_LT(activityOf(konio, 20), 1.0f) << "step " << stepNo;
      EXPECT_NEAR(activityOf(konio, 20), 0.1f * static_cast<float>(stepNo), 1e-5f);
    }
  }
  EXPECT_EQ(activityOf(konio, 20), 1.0f);
  konio.step(events, 0.0, queue);
  EXPECT_EQ(activityOf(konio, 20), 1.0f);
  queue.drainAll();

  // 2.0 saturates in one step.
  events.clear();
  events.push_back(makeEvent(EventKind::KonioInput, 30, 30, 2.0f));
  konio.step(events, 0.0, queue);
  EXPECT_EQ(activityOf(konio, 30), 1.0f);
  queue.drainAll();

  // 0.2 from rest gives exactly 0.1, which is not above the output threshold.
  KonioLayer fresh(1);
  events.clear();
  events.push_back(makeEvent(EventKind::KonioInput, 0, 0, 0.2f));
  fresh.step(events, 0.0, queue);
  EXPECT_EQ(activityOf(fresh, 0), 0.1f);
  EXPECT_TRUE(queue.drainAll().empty());
}

TEST(KonioLayer, DecayingUnitEmitsFor113Steps) {
  EventQueue queue;
  KonioLayer konio(11);
  konio.activity[10].store(1.0f);
  // Only a Photoreceptor event: the step runs but feeds nothing.
  const std::vector<RetinaEvent> events = {makeEvent(EventKind::Photoreceptor, 10, 10, 0.9f)};
  float expected = 1.0f;
  for (int stepNo = 1; stepNo <= 113; ++stepNo) {
    konio.step(events, static_cast<double>(stepNo), queue);
    expected = kDecay * expected;
    const std::vector<RetinaEvent> out = queue.drainAll();
    ASSERT_EQ(out.size(), 1u) << "step " << stepNo;
    EXPECT_EQ(out[0].weight, expected);
    EXPECT_EQ(out[0].time, static_cast<double>(stepNo));
  }
  EXPECT_NEAR(activityOf(konio, 10), 0.10198f, 1e-5f);
  konio.step(events, 114.0, queue);
  EXPECT_TRUE(queue.drainAll().empty());
  EXPECT_NEAR(activityOf(konio, 10), 0.09995f, 1e-5f);
}

TEST(KonioLayer, SkipsForeignEventsAndEmitsInUnitOrder) {
  constexpr int kUnits = 30;
  EventQueue queue;
  KonioLayer konio(kUnits);
  konio.activity[5].store(0.5f);

  // Photoreceptor events and out-of-range targets feed nothing.
  std::vector<RetinaEvent> events;
  events.push_back(makeEvent(EventKind::Photoreceptor, 5, 5, 1.0f));
  events.push_back(makeEvent(EventKind::KonioInput, 0, kUnits, 1.0f));
  events.push_back(makeEvent(EventKind::KonioInput, 0, -1, 1.0f));
  events.push_back(makeEvent(EventKind::KonioOutput, 7, 7, 1.0f));
  konio.step(events, 0.0, queue);
  EXPECT_EQ(activityOf(konio, 5), kDecay * 0.5f);
  EXPECT_EQ(activityOf(konio, 0), 0.0f);           // not fed through dst -1
  EXPECT_EQ(activityOf(konio, kUnits - 1), 0.0f);  // nor through dst N
  EXPECT_EQ(activityOf(konio, 7), 0.0f);
  std::vector<RetinaEvent> out = queue.drainAll();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].src, 5);

  // Masked units fed in descending order still emit in ascending unit order.
  events.clear();
  addSensor(events, 20, 0.6f, true);
  addSensor(events, 13, 0.9f, false);
  addSensor(events, 10, 3.0f, true);
  addSensor(events, 0, 0.4f, true);
  konio.step(events, 12.5, queue);
  out = queue.drainAll();
  ASSERT_EQ(out.size(), 4u);
  const int units[] = {0, 5, 10, 20};
  for (std::size_t k = 0; k < out.size(); ++k) {
    EXPECT_EQ(out[k].kind, EventKind::KonioOutput);
    EXPECT_EQ(out[k].src, units[k]);
    EXPECT_EQ(out[k].dst, units[k]);
    EXPECT_EQ(out[k].time, 12.5);
    EXPECT_GT(out[k].weight, KonioParameters{}.outputThreshold);
    EXPECT_LE(out[k].weight, 1.0f);
    EXPECT_EQ(out[k].weight, activityOf(konio, units[k]));
  }
  EXPECT_EQ(activityOf(konio, 13), 0.0f);  // unmasked: its Photoreceptor event fed nothing

  std::vector<float> copy(3, -1.0f);
  konio.copyActivity(copy);
  ASSERT_EQ(copy.size(), static_cast<std::size_t>(kUnits));
  for (int i = 0; i < kUnits; ++i) {
    EXPECT_EQ(copy[static_cast<std::size_t>(i)], activityOf(konio, i));
  }
}

TEST(KonioLayer, ParametersSetThresholdGainDecayAndOutput) {
  // With the defaults every unit below would rise and units 1 and 2 would emit.
  KonioParameters parameters;
  parameters.decay = 0.5f;
  parameters.inputThreshold = 0.3f;
  parameters.inputGain = 0.8f;
  parameters.outputThreshold = 0.35f;
  EventQueue queue;
  KonioLayer konio(3, parameters);
  const std::vector<RetinaEvent> events{makeEvent(EventKind::KonioInput, 0, 0, 0.3f),
                                        makeEvent(EventKind::KonioInput, 1, 1, 0.4f),
                                        makeEvent(EventKind::KonioInput, 2, 2, 0.5f)};
  konio.step(events, 1.0, queue);
  EXPECT_EQ(activityOf(konio, 0), 0.0f);  // not above the input threshold
  EXPECT_EQ(activityOf(konio, 1), 0.4f * 0.8f);
  EXPECT_EQ(activityOf(konio, 2), 0.5f * 0.8f);
  std::vector<RetinaEvent> out = queue.drainAll();
  ASSERT_EQ(out.size(), 1u);  // 0.32 is not above the output threshold, 0.4 is
  EXPECT_EQ(out[0].src, 2);
  konio.step({}, 2.0, queue);
  EXPECT_EQ(activityOf(konio, 2), 0.5f * 0.8f * 0.5f);
  EXPECT_TRUE(queue.drainAll().empty());
}

// ---------------------------------------------------------------------------------------------
// TRN stage and gain table

constexpr float kStrength = 5.0f;

TEST(GainTable, MaskEveryTenthIndexAndUnitGains) {
  const struct {
    int n;
    int bits;
    int stride = 10;
  } cases[] = {{0, 0},  {1, 1},        {9, 1},     {10, 1},   {11, 2},
               {25, 3}, {30202, 3021}, {25, 9, 3}, {4, 4, 1}, {5, 1, 1000000}};
  for (const auto& c : cases) {
    GainTable table(c.n, c.stride);
    const std::vector<float> gains = table.gains();
    ASSERT_EQ(gains.size(), static_cast<std::size_t>(c.n));
    ASSERT_EQ(table.konioMask().size(), static_cast<std::size_t>(c.n));
    int set = 0;
    for (int i = 0; i < c.n; ++i) {
      EXPECT_EQ(gains[static_cast<std::size_t>(i)], 1.0f);
      const bool bit = table.konioMask()[static_cast<std::size_t>(i)];
      EXPECT_EQ(bit, i % c.stride == 0) << "n " << c.n << " i " << i;
      set += bit ? 1 : 0;
    }
    EXPECT_EQ(set, c.bits) << "n " << c.n;
  }
  EXPECT_THROW(GainTable(10, 0), std::invalid_argument);
}

TEST(TrnLayer, GainsFromBatchSumsAndKonioDrive) {
  constexpr int kSensors = 40;
  GainTable table(kSensors);
  TrnLayer trn(table, kSensors, kStrength);

  std::vector<RetinaEvent> sensors;
  addSensor(sensors, 1, 0.2f, false);
  addSensor(sensors, 2, 1.0f, false);
  addSensor(sensors, 10, 0.5f, true);  // both events count: sum 1.0
  addSensor(sensors, 20, 0.3f, false);
  sensors.push_back(makeEvent(EventKind::KonioInput, -1, 3, 1.0f));           // src out of range
  sensors.push_back(makeEvent(EventKind::Photoreceptor, kSensors, 4, 1.0f));  // src out of range
  std::vector<RetinaEvent> konioOut;
  konioOut.push_back(makeEvent(EventKind::KonioOutput, 10, 10, 0.25f));
  konioOut.push_back(makeEvent(EventKind::KonioOutput, 20, 20, 0.9f));
  konioOut.push_back(makeEvent(EventKind::KonioOutput, 20, 20, 0.3f));       // the later one wins
  konioOut.push_back(makeEvent(EventKind::KonioOutput, 0, kSensors, 1.0f));  // dst out of range
  konioOut.push_back(makeEvent(EventKind::KonioOutput, 0, -1, 1.0f));        // dst out of range
  konioOut.push_back(makeEvent(EventKind::KonioInput, 30, 30, 1.0f));        // not a KonioOutput
  trn.step(sensors, konioOut);

  std::vector<float> g = gainsOf(table);
  ASSERT_EQ(g.size(), static_cast<std::size_t>(kSensors));
  EXPECT_FLOAT_EQ(g[1], 0.5f);
  EXPECT_FLOAT_EQ(g[2], 1.0f / 6.0f);
  EXPECT_NEAR(g[10], 0.2105f, 1e-4f);
  EXPECT_EQ(trn.konioDrive[20], 0.3f);
  EXPECT_EQ(g[20], 1.0f);  // sum equal to drive: exactly 1
  EXPECT_EQ(trn.konioDrive[30], 0.0f);
  // Includes 3 and 4 (only out-of-range sources) and 0 (only an out-of-range KonioOutput).
  for (std::size_t i = 0; i < g.size(); ++i) {
    if (i != 1 && i != 2 && i != 10) {
      EXPECT_EQ(g[i], 1.0f) << i;
    }
  }

  // Konio output only: every gain is 1 / (1 + 5 * drive) and earlier inhibition is gone.
  konioOut.clear();
  konioOut.push_back(makeEvent(EventKind::KonioOutput, 10, 10, 0.5f));
  konioOut.push_back(makeEvent(EventKind::KonioOutput, 30, 30, 1.0f));
  trn.step({}, konioOut);
  g = gainsOf(table);
  EXPECT_FLOAT_EQ(g[10], 1.0f / 3.5f);
  EXPECT_FLOAT_EQ(g[30], 1.0f / 6.0f);
  EXPECT_FLOAT_EQ(g[20], 1.0f / 2.5f);  // drive 0.3 kept from the earlier batch
  EXPECT_EQ(g[1], 1.0f);
  EXPECT_EQ(g[2], 1.0f);

  // A mismatch of 0.8 gives 0.2.
  sensors.clear();
  addSensor(sensors, 5, 0.8f, false);
  trn.step(sensors, {});
  g = gainsOf(table);
  EXPECT_FLOAT_EQ(g[5], 0.2f);
  EXPECT_FLOAT_EQ(g[10], 1.0f / 3.5f);
}

// ---------------------------------------------------------------------------------------------
// Model worker

struct Model {
  explicit Model(int count) : gains(count), konio(count), trn(gains, count, kStrength) {}

  WorkerContext context() {
    WorkerContext ctx{running, queue, konio, trn, [this] {
                        ++clockReads;
                        return fakeTime;
                      }};
    ctx.idlePause = [this] { ++pauses; };
    return ctx;
  }

  std::atomic<bool> running{true};
  EventQueue queue;
  GainTable gains;
  KonioLayer konio;
  TrnLayer trn;
  double fakeTime = 42.0;
  int clockReads = 0;
  int pauses = 0;  // idle pauses taken
};

TEST(ModelWorker, StopsIdlesAndSkipsStagesWithoutWork) {
  EXPECT_EQ(
      steadySeconds(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(1500000000))),
      1.5);

  Model m(30);
  WorkerContext ctx = m.context();
  m.konio.activity[10].store(0.5f);
  {
    std::vector<float> gains = m.gains.gains();
    gains[3] = 0.25f;  // any TRN step would overwrite it
    m.gains.publish(gains);
  }
  // Konio would decay unit 10; TRN would reset gain 3.
  auto expectNoStageRan = [&](const char* phase) {
    EXPECT_EQ(activityOf(m.konio, 10), 0.5f) << phase;
    EXPECT_EQ(gainsOf(m.gains)[3], 0.25f) << phase;
    EXPECT_EQ(m.queue.stats().size, 0u) << phase;
  };

  // Flag false: nothing is touched, queued events stay.
  m.running.store(false);
  m.queue.push(makeEvent(EventKind::KonioInput, 10, 10, 1.0f));
  EXPECT_EQ(runWorkerIteration(ctx), WorkerIteration::stopped);
  runModelWorker(ctx);  // returns at once on the test thread
  EXPECT_EQ(m.queue.stats().size, 1u);
  EXPECT_EQ(m.clockReads, 0);
  EXPECT_EQ(m.pauses, 0);
  m.queue.drainAll();
  m.running.store(true);

  // An empty drain pauses once; a batch, of whatever events, goes straight on to the next drain.
  EXPECT_EQ(runWorkerIteration(ctx), WorkerIteration::idle);
  EXPECT_EQ(m.clockReads, 0);
  EXPECT_EQ(m.pauses, 1);
  expectNoStageRan("empty queue");

  m.queue.push(makeEvent(EventKind::FrameMarker, -1, -1, 0.0f));
  m.queue.push(makeEvent(EventKind::FrameMarker, -1, -1, 0.0f));
  EXPECT_EQ(runWorkerIteration(ctx), WorkerIteration::batch);
  EXPECT_EQ(m.clockReads, 1);
  EXPECT_EQ(m.pauses, 1);
  expectNoStageRan("markers only");

  // Sensor events without a target, and kinds the model does not know, are dropped.
  m.queue.push(makeEvent(EventKind::Photoreceptor, 3, -1, 1.0f));
  m.queue.push(makeEvent(EventKind::KonioInput, 10, -1, 1.0f));
  m.queue.push(makeEvent(static_cast<EventKind>(1), 3, 3, 1.0f));
  EXPECT_EQ(runWorkerIteration(ctx), WorkerIteration::batch);
  EXPECT_EQ(m.clockReads, 2);
  EXPECT_EQ(m.pauses, 1);
  expectNoStageRan("dropped events only");
  EXPECT_EQ(m.trn.konioDrive[10], 0.0f);
}

TEST(ModelWorker, TheDefaultIdlePauseSleepsAtLeastOneMillisecond) {
  Model m(1);
  WorkerContext ctx{m.running, m.queue, m.konio, m.trn};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(runWorkerIteration(ctx), WorkerIteration::idle);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1));
}

TEST(ModelWorker, KonioOutputReachesTrnOneIterationLater) {
  Model m(30);
  WorkerContext ctx = m.context();

  // Iteration k: the Konio stage rises and pushes; TRN has not seen the output yet.
  m.queue.push(makeEvent(EventKind::FrameMarker, -1, -1, 0.0f));
  m.queue.push(makeEvent(EventKind::Photoreceptor, 10, 10, 2.0f));
  m.queue.push(makeEvent(EventKind::KonioInput, 10, 10, 2.0f));
  EXPECT_EQ(runWorkerIteration(ctx), WorkerIteration::batch);
  EXPECT_EQ(activityOf(m.konio, 10), 1.0f);
  EXPECT_EQ(m.trn.konioDrive[10], 0.0f);
  EXPECT_FLOAT_EQ(gainsOf(m.gains)[10], 1.0f / 21.0f);  // sum 4.0, drive 0
  const std::vector<RetinaEvent> pending = m.queue.drainAll();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].kind, EventKind::KonioOutput);
  EXPECT_EQ(pending[0].dst, 10);
  EXPECT_EQ(pending[0].time, 42.0);
  m.queue.push(pending[0]);  // back for the next drain, as if never looked at

  // Iteration k + 1: Konio output only. TRN takes the drive; Konio does not decay.
  m.fakeTime = 43.0;
  EXPECT_EQ(runWorkerIteration(ctx), WorkerIteration::batch);
  EXPECT_EQ(m.trn.konioDrive[10], 1.0f);
  EXPECT_EQ(activityOf(m.konio, 10), 1.0f);
  std::vector<float> g = gainsOf(m.gains);
  EXPECT_FLOAT_EQ(g[10], 1.0f / 6.0f);
  EXPECT_EQ(g[0], 1.0f);
  EXPECT_EQ(m.queue.stats().size, 0u);
  EXPECT_EQ(runWorkerIteration(ctx), WorkerIteration::idle);

  // A Photoreceptor-only batch decays every unit and re-emits, again for the next drain.
  m.queue.push(makeEvent(EventKind::Photoreceptor, 5, 5, 0.5f));
  EXPECT_EQ(runWorkerIteration(ctx), WorkerIteration::batch);
  EXPECT_EQ(activityOf(m.konio, 10), kDecay);
  EXPECT_EQ(m.trn.konioDrive[10], 1.0f);
  g = gainsOf(m.gains);
  EXPECT_FLOAT_EQ(g[5], 1.0f / 3.5f);
  EXPECT_FLOAT_EQ(g[10], 1.0f / 6.0f);
  const std::vector<RetinaEvent> next = m.queue.drainAll();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].weight, kDecay);
  EXPECT_EQ(next[0].time, 43.0);
}

TEST(ModelWorker, ThreadRunsBesideFrameLoopAndStopsPromptly) {
  constexpr int kSensors = 200;
  std::atomic<bool> running{true};
  EventQueue queue;
  GainTable gains(kSensors);
  KonioLayer konio(kSensors);
  TrnLayer trn(gains, kSensors, kStrength);

  std::thread worker(runModelWorker, WorkerContext{running, queue, konio, trn});

  // A short frame loop on this thread: push, then copy activity and gains as the app does.
  std::vector<float> activityCopy;
  std::vector<float> gainCopy;
  for (int frame = 0; frame < 200; ++frame) {
    gains.copyGains(gainCopy);
    queue.push(makeEvent(EventKind::FrameMarker, -1, -1, 0.0f));
    for (int i = 0; i < kSensors; i += 3) {
      const float w = gainCopy[static_cast<std::size_t>(i)] * 0.8f;
      queue.push(makeEvent(EventKind::Photoreceptor, i, i, w));
      if (gains.konioMask()[static_cast<std::size_t>(i)]) {
        queue.push(makeEvent(EventKind::KonioInput, i, i, w));
      }
    }
    konio.copyActivity(activityCopy);
    gains.copyGains(gainCopy);
  }

  const auto stopAt = std::chrono::steady_clock::now();
  running.store(false);
  worker.join();
  const auto joinTime = std::chrono::steady_clock::now() - stopAt;
  EXPECT_LT(joinTime, std::chrono::milliseconds(500));

  ASSERT_EQ(activityCopy.size(), static_cast<std::size_t>(kSensors));
  ASSERT_EQ(gainCopy.size(), static_cast<std::size_t>(kSensors));
  konio.copyActivity(activityCopy);
  for (int i = 0; i < kSensors; ++i) {
    const float a = activityCopy[static_cast<std::size_t>(i)];
    EXPECT_GE(a, 0.0f);
    EXPECT_LE(a, 1.0f);
    if (i % 10 != 0 || i % 3 != 0) {
      EXPECT_EQ(a, 0.0f) << i;  // never fed
    }
  }
  for (float g : gainsOf(gains)) {
    EXPECT_GT(g, 0.0f);
    EXPECT_LE(g, 1.0f);
  }
}

}  // namespace
