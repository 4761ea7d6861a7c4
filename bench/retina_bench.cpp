// Per-frame costs of the retina demo, measured on 1280x720 frames of a real photograph and of
// the synthetic scene, each stage next to its own floor (the least memory traffic that stage
// needs, whatever the code), and OpenCV's own bio-inspired retina. Every figure is the median
// over repetitions.
//
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DRETINA_BUILD_BENCH=ON
//   cmake --build build/bench --target retina-bench -j2 && ./build/bench/bench/retina-bench

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/bioinspired.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "display/fovea.h"
#include "display/overlay.h"
#include "display/render.h"
#include "frame_input/synthetic_scene.h"
#include "model/model.h"
#include "retina/fibonacci_retina.h"
#include "session/sampling.h"
#include "session/session.h"
#include "tests/session_fixture.h"

namespace {

const cv::Size k720p(1280, 720);

// A 1280x720 crop of a real photograph (no resampling), or the synthetic scene's frame 90.
cv::Mat benchFrame(const std::string& scene, cv::Size size = k720p) {
  if (scene == "photo") {
    const cv::Mat photo = cv::imread(RETINA_BENCH_PHOTO, cv::IMREAD_COLOR);
    if (photo.empty()) {
      std::fprintf(stderr, "cannot read %s (Debian package opencv-doc)\n", RETINA_BENCH_PHOTO);
      std::exit(2);
    }
    cv::Mat fitted;
    if (photo.cols >= size.width && photo.rows >= size.height) {
      fitted = photo(cv::Rect((photo.cols - size.width) / 2, (photo.rows - size.height) / 2,
                              size.width, size.height))
                   .clone();
    } else {
      cv::resize(photo, fitted, size, 0, 0, cv::INTER_AREA);
    }
    return fitted;
  }
  cv::Mat frame;
  SyntheticScene(size).render(90, frame);
  return frame;
}

// Everything one frame needs, set up as the program does after its first frame: the retina
// placed on the middle by a session, and a model of the bench's own for the stages to work on
// (with the worker thread, the thread running), fed the session's frames so that gains and Konio
// activity are not all at rest.
struct World {
  explicit World(const cv::Mat& frame, int spiralCount = kDemoRetina.spiralCount,
                 ModelMode mode = ModelMode::workerThread)
      : frame(frame),
        t(mode, layoutWith(spiralCount)),
        state(t.session.state()),
        retina(t.session.retina()),
        model(static_cast<int>(retina.sensors.size())),
        worker(running) {
    WorkerContext stepped{running, model.queue, model.konio, model.trn};
    std::vector<float> gainCopy;
    for (int i = 0; i < 5; ++i) {
      runOneFrame();
      emitFrameEvents(model.queue, state.activations, model.gainTable, 1.0, gainCopy,
                      ModelMode::steppedAfterEmission);
      runWorkerIteration(stepped);
    }
    if (mode == ModelMode::workerThread) startModelWorker(worker, model);
  }
  ~World() {
    running.store(false);
    stopModelWorker(worker);
  }

  static RetinaLayout layoutWith(int spiralCount) {
    RetinaLayout layout = kDemoRetina;  // denser retinas keep the same extent
    layout.spiralCount = spiralCount;
    return layout;
  }

  // One whole frame; the frame "arrives" instantly (no camera wait).
  void runOneFrame() { eventsPushed = t.frame(frame).eventsPushed; }

  cv::Mat frame;
  TestSession t;
  const FrameLoopState& state;
  const Retina& retina;
  std::atomic<bool> running{true};
  Model model;
  ModelWorkerThread worker;      // last: joined first
  std::size_t eventsPushed = 0;  // by the last frame
};

// What no implementation of a frame can avoid, done as plain memory traffic on the same frame
// and sensors: every canvas byte written once, every sensor's pixel read once (through its
// position, two 16-bit offsets), per-sensor vectors read or written once, and the events that
// survive the queue bound written once. Each stage is timed against the parts it needs.
class FloorWork {
 public:
  explicit FloorWork(const World& w)
      : frame_(w.frame),
        canvas_(w.frame.size(), CV_8UC3),
        center_(w.state.center.cx, w.state.center.cy),
        a_(w.retina.sensors.size(), 0.5f),
        b_(w.retina.sensors.size(), 0.5f),
        events_(std::min(w.eventsPushed, w.model.queue.capacity())) {
    for (const PackedSensor& p : w.state.packed)
      offsets_.insert(offsets_.end(), {p.dx, p.dy});
    const OverlayStamps stamps;
    const TextStamp frameTime = traceText("Frame time: 3 ms", 0.5, 1);
    for (const CircleStamp* shape :
         {&stamps.markerRing, &stamps.markerLabel.pixels, &stamps.title.pixels,
          &stamps.keyHelp.pixels, &stamps.legend.pixels, &frameTime.pixels}) {
      for (const CircleStamp::Span& span : shape->spans)
        overlayBytes_ += 3 * static_cast<std::size_t>(span.dx1 - span.dx0 + 1);
    }
    overlay_.resize(overlayBytes_);
  }

  void clearCanvas() {
    std::memset(canvas_.data, 0, canvas_.total() * canvas_.elemSize());
    benchmark::ClobberMemory();
  }

  // Every sensor's pixel, read once; `out`, when given, gets one float per sensor.
  void readSensorPixels(std::vector<float>* out = nullptr) {
    const std::size_t n = offsets_.size() / 2;
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const int x = center_.x + offsets_[2 * i], y = center_.y + offsets_[2 * i + 1];
      if (x < 0 || x >= frame_.cols || y < 0 || y >= frame_.rows) continue;
      const std::uint8_t* p = frame_.ptr<std::uint8_t>(y) + 3 * x;
      const unsigned v = p[0] + p[1] + p[2];
      sum += v;
      if (out != nullptr) (*out)[i] = static_cast<float>(v);
    }
    benchmark::DoNotOptimize(sum);
    benchmark::ClobberMemory();
  }

  // One or two per-sensor vectors read once.
  void readPerSensor(int vectors) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < a_.size(); ++i)
      sum += vectors == 2 ? a_[i] * b_[i] : a_[i];
    benchmark::DoNotOptimize(sum);
  }

  void copyPerSensor() {
    std::memcpy(b_.data(), a_.data(), a_.size() * sizeof(float));
    benchmark::ClobberMemory();
  }

  void writeSurvivingEvents() {
    for (std::size_t i = 0; i < events_.size(); ++i)
      events_[i] = {1.0, static_cast<std::int32_t>(i), static_cast<std::int32_t>(i), 0.5f,
                    EventKind::Photoreceptor};
    benchmark::ClobberMemory();
  }

  void writeOverlayPixels() {
    std::memset(overlay_.data(), 255, overlay_.size());
    benchmark::ClobberMemory();
  }

  std::vector<float>& perSensor() { return a_; }

 private:
  cv::Mat frame_, canvas_;
  cv::Point center_;
  std::vector<std::int16_t> offsets_;
  std::vector<float> a_, b_;
  std::vector<RetinaEvent> events_;
  std::vector<std::uint8_t> overlay_;
  std::size_t overlayBytes_ = 0;
};

void Sampling(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  std::vector<float> a;
  for (auto _ : s) {
    sampleActivations(w.state.frame, w.state.packed, w.state.center.cx, w.state.center.cy, a);
    benchmark::DoNotOptimize(a.data());
  }
}

// With the worker thread running and draining, one lock per event, as the live program emits.
void Emission(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  std::size_t events = 0;
  std::vector<float> gainCopy;
  for (auto _ : s) {
    events = emitFrameEvents(w.model.queue, w.state.activations, w.model.gainTable, 1.0, gainCopy,
                             ModelMode::workerThread);
  }
  s.counters["events"] = static_cast<double>(events);
}

// Without a worker thread: the frame as one run, onto a queue the bound keeps full.
void EmissionStepped(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene), kDemoRetina.spiralCount, ModelMode::steppedAfterEmission);
  std::vector<float> gainCopy;
  for (auto _ : s) {
    emitFrameEvents(w.model.queue, w.state.activations, w.model.gainTable, 1.0, gainCopy,
                    ModelMode::steppedAfterEmission);
  }
}

void Snapshots(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  std::vector<float> konio, gains;
  for (auto _ : s)
    takeModelSnapshots(w.model, konio, gains);
}

void Fovea(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  for (auto _ : s) {
    FoveaCenter c = w.state.center;
    updateFoveaCenter(w.state.frame, w.state.packed, c, w.state.konioSnapshot, FoveaParameters{});
    benchmark::DoNotOptimize(c);
  }
}

void Rendering(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  cv::Mat canvas;
  for (auto _ : s) {
    renderRetina(w.state.frame, w.state.discs, w.state.center.cx, w.state.center.cy, canvas,
                 w.state.gainSnapshot);
  }
}

void Overlay(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  cv::Mat canvas = w.state.canvas.clone();
  OverlayStamps stamps;
  for (auto _ : s) {
    drawFoveaMarker(canvas, w.state.center, stamps);
    drawOverlayTexts(canvas, 3, stamps);
  }
}

void Iteration(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  for (auto _ : s)
    w.runOneFrame();
}

void IterationStepped(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene), kDemoRetina.spiralCount, ModelMode::steppedAfterEmission);
  for (auto _ : s)
    w.runOneFrame();
}

// The floors, one per stage: what that stage cannot do without.
void SamplingFloor(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  FloorWork f(w);
  for (auto _ : s)
    f.readSensorPixels(&f.perSensor());  // each pixel read, one float written per sensor
}

void EmissionFloor(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  FloorWork f(w);
  for (auto _ : s) {
    f.readPerSensor(2);  // activations and gains
    f.writeSurvivingEvents();
  }
}

void SnapshotsFloor(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  FloorWork f(w);
  for (auto _ : s) {
    f.copyPerSensor();  // the Konio activity and the gains
    f.copyPerSensor();
  }
}

void FoveaFloor(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  FloorWork f(w);
  for (auto _ : s) {
    f.readSensorPixels();
    f.readPerSensor(1);  // the Konio snapshot
  }
}

void RenderingFloor(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  FloorWork f(w);
  for (auto _ : s) {
    f.clearCanvas();  // every canvas byte written once, the discs' included
    f.readSensorPixels();
    f.readPerSensor(1);  // the gains
  }
}

void OverlayFloor(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  FloorWork f(w);
  for (auto _ : s)
    f.writeOverlayPixels();
}

// The whole frame's floor: every canvas byte written, every sensor's pixel read and every
// surviving event written, once.
void Floor(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  FloorWork f(w);
  for (auto _ : s) {
    f.clearCanvas();
    f.readSensorPixels();
    f.writeSurvivingEvents();
  }
}

// OpenCV's bio-inspired retina (parvocellular and magnocellular channels) on the same frame.
void BioinspiredRetina(benchmark::State& s, const std::string& scene) {
  const cv::Mat frame = benchFrame(scene);
  cv::Ptr<cv::bioinspired::Retina> peer = cv::bioinspired::Retina::create(frame.size());
  cv::Mat parvo, magno;
  for (auto _ : s) {
    peer->run(frame);
    peer->getParvo(parvo);
    peer->getMagno(magno);
  }
}

// One worker iteration on a full queue: 20000 sensor events (a bright frame's Photoreceptor
// events with the KonioInput events of every tenth sensor) for 30202 sensors.
void WorkerBatch(benchmark::State& s) {
  constexpr int kCount = 30202;
  Model model(kCount);
  std::atomic<bool> running{true};
  WorkerContext worker{running, model.queue, model.konio, model.trn};
  std::vector<RetinaEvent> batch;
  for (std::int32_t i = kCount - 1; batch.size() < model.queue.capacity(); --i) {
    const float weight = 0.2f + 0.6f * static_cast<float>(i % 7) / 7.0f;
    batch.push_back({1.0, i, i, weight, EventKind::Photoreceptor});
    if (i % TrnParameters{}.maskStride == 0)
      batch.push_back({1.0, i, i, weight, EventKind::KonioInput});
  }
  batch.resize(model.queue.capacity());
  for (auto _ : s) {
    s.PauseTiming();
    model.queue.drainAll();  // the Konio output of the previous iteration
    for (const RetinaEvent& e : batch)
      model.queue.push(e);
    s.ResumeTiming();
    runWorkerIteration(worker);
  }
}

void IterationBySensors(benchmark::State& s) {
  World w(benchFrame("synthetic"), static_cast<int>(s.range(0)));
  s.counters["sensors"] = static_cast<double>(w.retina.sensors.size());
  for (auto _ : s)
    w.runOneFrame();
}

void IterationSteppedBySensors(benchmark::State& s) {
  World w(benchFrame("synthetic"), static_cast<int>(s.range(0)), ModelMode::steppedAfterEmission);
  for (auto _ : s)
    w.runOneFrame();
}

void FloorBySensors(benchmark::State& s) {
  World w(benchFrame("synthetic"), static_cast<int>(s.range(0)), ModelMode::steppedAfterEmission);
  FloorWork f(w);
  for (auto _ : s) {
    f.clearCanvas();
    f.readSensorPixels();
    f.writeSurvivingEvents();
  }
}

void IterationByFrameSize(benchmark::State& s) {
  World w(benchFrame("synthetic",
                     cv::Size(static_cast<int>(s.range(0)), static_cast<int>(s.range(1)))));
  for (auto _ : s)
    w.runOneFrame();
}

// Collects the median of every benchmark while the console reporter prints as usual.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  MedianCollector() : ConsoleReporter(OO_Tabular) {}  // plain text: the output goes into notes

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "median") {
        medians[run.run_name.function_name +
                (run.run_name.args.empty() ? "" : "/" + run.run_name.args)] =
            run.GetAdjustedRealTime();  // in the benchmarks' unit, milliseconds
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;  // milliseconds
};

void printSummary(const std::map<std::string, double>& m) {
  auto get = [&m](const std::string& name) {
    const auto it = m.find(name);
    return it == m.end() ? -1.0 : it->second;
  };
  std::printf(
      "\nSummary (medians, milliseconds per 1280x720 frame, 30202 sensors). floor: the least "
      "memory\ntraffic the stage needs (canvas bytes, sensor pixels, per-sensor values and "
      "surviving events,\neach once); x: the stage over its floor\n");
  std::printf("  %-28s %9s %9s %7s   %9s %9s %7s\n", "", "photo", "floor", "x", "synthetic",
              "floor", "x");
  const struct {
    const char* label;
    const char* stage;
    const char* floor;
  } rows[] = {{"Sampling", "Sampling", "SamplingFloor"},
              {"Emission (worker thread)", "Emission", "EmissionFloor"},
              {"Emission (stepped)", "EmissionStepped", "EmissionFloor"},
              {"Snapshots", "Snapshots", "SnapshotsFloor"},
              {"Fovea", "Fovea", "FoveaFloor"},
              {"Rendering", "Rendering", "RenderingFloor"},
              {"Overlay", "Overlay", "OverlayFloor"},
              {"Iteration (worker thread)", "Iteration", "Floor"},
              {"Iteration (stepped)", "IterationStepped", "Floor"}};
  for (const auto& row : rows) {
    std::printf("  %-28s", row.label);
    for (const char* scene : {"/photo", "/synthetic"}) {
      const double stage = get(row.stage + std::string(scene));
      const double floor = get(row.floor + std::string(scene));
      std::printf(" %9.4f %9.4f %7.1f  ", stage, floor, stage / floor);
    }
    std::printf("\n");
  }
  std::printf("  %-28s %9.4f %19s %9.4f\n", "Floor (the whole frame)", get("Floor/photo"), "",
              get("Floor/synthetic"));
  std::printf("  %-28s %9.3f %19s %9.3f\n", "Bio-inspired retina (OpenCV)",
              get("BioinspiredRetina/photo"), "", get("BioinspiredRetina/synthetic"));
  std::printf("  worker iteration, 30202 sensors, a full batch of 20000 events: %.3f ms\n",
              get("WorkerBatch"));

  std::printf("  %-20s %9s %9s %9s   x floor (worker thread, stepped)\n", "spiral points", "worker",
              "stepped", "floor");
  for (const char* points : {"1024", "4096", "16384", "65536"}) {
    const double live = get(std::string("IterationBySensors/") + points);
    const double stepped = get(std::string("IterationSteppedBySensors/") + points);
    const double floor = get(std::string("FloorBySensors/") + points);
    std::printf("  %-20s %9.3f %9.3f %9.3f   %.1f, %.1f\n", points, live, stepped, floor,
                live / floor, stepped / floor);
  }
  std::printf(
      "  65536 costs %.1f x 4096 with the worker thread, %.1f x stepped, %.1f x the floor\n",
      get("IterationBySensors/65536") / get("IterationBySensors/4096"),
      get("IterationSteppedBySensors/65536") / get("IterationSteppedBySensors/4096"),
      get("FloorBySensors/65536") / get("FloorBySensors/4096"));
  const double f720 = get("IterationByFrameSize/1280/720");
  std::printf(
      "  frames 640x480 / 1280x720 / 1920x1080 / 3840x2160: %.3f / %.3f / %.3f / %.3f ms; "
      "1920x1080 costs %.2f x 1280x720\n",
      get("IterationByFrameSize/640/480"), f720, get("IterationByFrameSize/1920/1080"),
      get("IterationByFrameSize/3840/2160"), get("IterationByFrameSize/1920/1080") / f720);
}

}  // namespace

int main(int argc, char** argv) {
  constexpr int kRepetitions = 7;
  for (const std::string scene : {"photo", "synthetic"}) {
    for (auto [name, fn] :
         std::vector<std::pair<const char*, void (*)(benchmark::State&, const std::string&)>>{
             {"Sampling", Sampling},
             {"Emission", Emission},
             {"EmissionStepped", EmissionStepped},
             {"Snapshots", Snapshots},
             {"Fovea", Fovea},
             {"Rendering", Rendering},
             {"Overlay", Overlay},
             {"Iteration", Iteration},
             {"IterationStepped", IterationStepped},
             {"SamplingFloor", SamplingFloor},
             {"EmissionFloor", EmissionFloor},
             {"SnapshotsFloor", SnapshotsFloor},
             {"FoveaFloor", FoveaFloor},
             {"RenderingFloor", RenderingFloor},
             {"OverlayFloor", OverlayFloor},
             {"Floor", Floor},
             {"BioinspiredRetina", BioinspiredRetina}}) {
      benchmark::RegisterBenchmark((std::string(name) + "/" + scene).c_str(), fn, scene)
          ->Unit(benchmark::kMillisecond)
          ->Repetitions(kRepetitions)
          ->ReportAggregatesOnly(true)
          ->MinTime(0.2);
    }
  }
  benchmark::RegisterBenchmark("WorkerBatch", WorkerBatch)
      ->Unit(benchmark::kMillisecond)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true)
      ->MinTime(0.2);
  for (auto [name, fn] : std::vector<std::pair<const char*, void (*)(benchmark::State&)>>{
           {"IterationBySensors", IterationBySensors},
           {"IterationSteppedBySensors", IterationSteppedBySensors},
           {"FloorBySensors", FloorBySensors}}) {
    benchmark::RegisterBenchmark(name, fn)
        ->Arg(1024)
        ->Arg(4096)
        ->Arg(16384)
        ->Arg(65536)
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true)
        ->MinTime(0.2);
  }
  benchmark::RegisterBenchmark("IterationByFrameSize", IterationByFrameSize)
      ->Args({640, 480})
      ->Args({1280, 720})
      ->Args({1920, 1080})
      ->Args({3840, 2160})
      ->Unit(benchmark::kMillisecond)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true)
      ->MinTime(0.2);

  benchmark::Initialize(&argc, argv);
  MedianCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary(reporter.medians);
  benchmark::Shutdown();
  return 0;
}
