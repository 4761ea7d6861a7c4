// Per-frame costs of the retina demo, measured on 1280x720 frames of a real photograph and of
// the synthetic scene, next to the memory floor (clearing the canvas and reading the frame once)
// and OpenCV's own bio-inspired retina. Every figure is the median over repetitions.
//
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DRETINA_BUILD_BENCH=ON
//   cmake --build build/bench --target retina-bench -j2 && ./build/bench/bench/retina-bench

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/bioinspired.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/model_wiring.h"
#include "app/sampling.h"
#include "app/session.h"
#include "display/fovea.h"
#include "display/overlay.h"
#include "display/render.h"
#include "retina/fibonacci_retina.h"
#include "tests/session_fixture.h"
#include "tools/replay/synthetic_scene.h"

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
// placed on the middle, the model created and its worker thread running.
struct World {
  explicit World(const cv::Mat& frame, int spiralCount = kDemoRetina.spiralCount)
      : frame(frame),
        t(ModelMode::workerThread, layoutWith(spiralCount)),
        state(t.session.state()),
        retina(t.session.retina()),
        model(t.session.model()) {
    // Let the model answer a few frames so gains and Konio activity are not all at rest.
    for (int i = 0; i < 5; ++i)
      runOneFrame();
  }

  static RetinaLayout layoutWith(int spiralCount) {
    RetinaLayout layout = kDemoRetina;  // denser retinas keep the same extent
    layout.spiralCount = spiralCount;
    return layout;
  }

  // One whole frame; the frame "arrives" instantly (no camera wait).
  void runOneFrame() { t.frame(frame); }

  cv::Mat frame;
  TestSession t;
  const FrameLoopState& state;
  const Retina& retina;
  Model& model;
};

void Sampling(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  for (auto _ : s) {
    auto a = sampleActivations(w.state.frame, w.retina, w.state.offsets, w.state.center.cx,
                               w.state.center.cy);
    benchmark::DoNotOptimize(a.data());
  }
}

void Emission(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  const auto a = sampleActivations(w.state.frame, w.retina, w.state.offsets, w.state.center.cx,
                                   w.state.center.cy);
  std::size_t events = 0;
  std::vector<float> gainCopy;
  for (auto _ : s) {
    events = emitFrameEvents(w.model.queue, a, w.model.gainTable, 1.0, gainCopy);
  }
  s.counters["events"] = static_cast<double>(events);
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
    updateFoveaCenter(w.state.frame, w.retina.sensors, w.state.offsets, c, w.state.konioSnapshot,
                      kStepFraction);
    benchmark::DoNotOptimize(c);
  }
}

void Rendering(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  cv::Mat canvas;
  for (auto _ : s) {
    renderRetina(w.state.frame, w.retina.sensors, w.state.offsets, w.state.hiddenDiscs,
                 w.state.center.cx, w.state.center.cy, canvas, w.state.gainSnapshot);
  }
}

void Overlay(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  cv::Mat canvas = w.state.canvas.clone();
  for (auto _ : s) {
    drawFoveaMarker(canvas, w.state.center);
    drawOverlayTexts(canvas, 3);
  }
}

void Iteration(benchmark::State& s, const std::string& scene) {
  World w(benchFrame(scene));
  for (auto _ : s)
    w.runOneFrame();
}

// The least any frame path must do: clear a canvas of the frame's size and read every byte of
// the frame once.
void MemoryFloor(benchmark::State& s, const std::string& scene) {
  const cv::Mat frame = benchFrame(scene);
  cv::Mat canvas(frame.size(), CV_8UC3);
  for (auto _ : s) {
    canvas.setTo(cv::Scalar::all(0));
    unsigned sum = 0;
    for (int y = 0; y < frame.rows; ++y) {
      const std::uint8_t* row = frame.ptr<std::uint8_t>(y);
      for (int x = 0; x < frame.cols * 3; ++x)
        sum += row[x];
    }
    benchmark::DoNotOptimize(sum);
    benchmark::ClobberMemory();
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
  for (std::int32_t i = kCount - 1; batch.size() < kEventQueueLimit; --i) {
    const float weight = 0.2f + 0.6f * static_cast<float>(i % 7) / 7.0f;
    batch.push_back({1.0, i, i, weight, EventKind::Photoreceptor});
    if (i % kKonioMaskStride == 0) batch.push_back({1.0, i, i, weight, EventKind::KonioInput});
  }
  batch.resize(kEventQueueLimit);
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
  std::printf("\nSummary (medians, milliseconds per 1280x720 frame, 30202 sensors)\n");
  std::printf("  %-34s %10s %10s\n", "", "photo", "synthetic");
  for (const char* stage : {"Sampling", "Emission", "Snapshots", "Fovea", "Rendering", "Overlay",
                            "Iteration", "MemoryFloor", "BioinspiredRetina"}) {
    std::printf("  %-34s %10.3f %10.3f\n", stage, get(std::string(stage) + "/photo"),
                get(std::string(stage) + "/synthetic"));
  }
  for (const char* scene : {"photo", "synthetic"}) {
    const double it = get(std::string("Iteration/") + scene);
    std::printf(
        "  %-9s iteration / memory floor: %6.2f x;  bio-inspired retina / iteration: %6.1f x\n",
        scene, it / get(std::string("MemoryFloor/") + scene),
        get(std::string("BioinspiredRetina/") + scene) / it);
  }
  std::printf("  worker iteration, 30202 sensors, a full batch of 20000 events: %.3f ms\n",
              get("WorkerBatch"));
  const double s4096 = get("IterationBySensors/4096");
  std::printf(
      "  spiral points 1024 / 4096 / 16384 / 65536: %.3f / %.3f / %.3f / %.3f ms; 65536 costs %.1f "
      "x 4096\n",
      get("IterationBySensors/1024"), s4096, get("IterationBySensors/16384"),
      get("IterationBySensors/65536"), get("IterationBySensors/65536") / s4096);
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
             {"Snapshots", Snapshots},
             {"Fovea", Fovea},
             {"Rendering", Rendering},
             {"Overlay", Overlay},
             {"Iteration", Iteration},
             {"MemoryFloor", MemoryFloor},
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
  benchmark::RegisterBenchmark("IterationBySensors", IterationBySensors)
      ->Arg(1024)
      ->Arg(4096)
      ->Arg(16384)
      ->Arg(65536)
      ->Unit(benchmark::kMillisecond)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true)
      ->MinTime(0.2);
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
