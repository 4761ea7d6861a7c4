// The run data library's HDF5 export read back with the HDF5 library: what it holds against what
// the session did, with either writer. The files' rules as a program meets them, and the CSV
// file, are in test_export.cpp.

#include <gtest/gtest.h>

#include <hdf5.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "datafiles/export.h"
#include "display/render.h"
#include "frame_input/synthetic_scene.h"
#include "h5_reader.h"
#include "model/konio_layer.h"
#include "session/sampling.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace {

class ExportFiles : public TempDirTest {};

}  // namespace

// The session is driven here, so that every frame's snapshots can be kept and compared with the
// rows the export wrote; live, the worker thread pushes Konio events into the log meanwhile.
TEST_F(ExportFiles, HoldsEveryFrameEventAndTheRetinaAsTheSessionSawThem) {
  for (const ModelMode mode : {ModelMode::steppedAfterEmission, ModelMode::workerThread}) {
    SCOPED_TRACE(mode == ModelMode::workerThread ? "worker thread" : "stepped");
    const std::string file = path(mode == ModelMode::workerThread ? "live.h5" : "stepped.h5");
    constexpr int kFrames = 8;
    TestSession run(mode, Parameters{}, {}, true);
    Hdf5Export exporter;
    ASSERT_EQ(exporter.create(file, true), "");
    // Stepped, the frame loop's thread writes each frame itself; live, the writer thread does.
    exporter.start({"retina-replay", "test", "retina-replay test", "synthetic", false, 30202,
                    "2000-01-01T00:00:00Z"},
                   mode == ModelMode::workerThread ? ExportWriter::thread : ExportWriter::caller);
    const SyntheticScene scene(cv::Size(640, 360));
    std::vector<FrameResult> results;
    std::vector<std::vector<float>> gains, konio;
    std::vector<RetinaEvent> events;
    cv::Mat image;
    for (int f = 0; f < kFrames; ++f) {
      scene.render(f * 7, image);
      results.push_back(run.frame(image, std::chrono::milliseconds(33)));
      ASSERT_TRUE(results.back().drawn);
      gains.push_back(run.session.state().gainSnapshot);
      konio.push_back(run.session.state().konioSnapshot);
      run.session.takeFrameEvents(events);
      ASSERT_EQ(exporter.add(results.back(), run.session.placement(), f + 1, events), "");
    }
    run.session.stop();
    ASSERT_EQ(exporter.finish({"input ended", true}, run.session.takeEventsAfterLastFrame()), "");
    ASSERT_EQ(exporter.commit(), "");

    const H5Reader h5(file);
    ASSERT_TRUE(h5.ok());
    EXPECT_EQ(h5.numberAttribute("/", "frame_width"), 640);
    EXPECT_EQ(h5.numberAttribute("/", "frame_height"), 360);
    EXPECT_EQ(h5.numberAttribute("/", "sensor_count"), 30202);

    // One row per frame, as the frame loop saw it.
    const std::vector<double> frame = h5.numbers("/frames/frame");
    const std::vector<double> pushed = h5.numbers("/frames/events_pushed");
    const std::vector<double> t = h5.numbers("/frames/t");
    const std::vector<double> cx = h5.numbers("/frames/fovea_cx");
    ASSERT_EQ(frame.size(), static_cast<std::size_t>(kFrames));
    ASSERT_EQ(pushed.size(), frame.size());
    for (int f = 0; f < kFrames; ++f) {
      EXPECT_EQ(frame[f], f + 1);
      EXPECT_EQ(pushed[f], results[f].eventsPushed);
      EXPECT_EQ(t[f], results[f].captureTime);
      EXPECT_EQ(cx[f], results[f].center.cx);
    }

    // Every pushed event, in push order: each frame opens with its marker, every other event
    // passed the threshold, and the rows per frame add up to what the frame pushed.
    const std::vector<double> eventFrame = h5.numbers("/events/frame");
    const std::vector<double> kind = h5.numbers("/events/kind");
    const std::vector<double> src = h5.numbers("/events/src");
    const std::vector<float> weight = h5.floats("/events/weight");
    const std::vector<double> eventTime = h5.numbers("/events/t");
    double total = 0.0;
    for (double p : pushed)
      total += p;
    ASSERT_EQ(eventFrame.size(), static_cast<std::size_t>(total));
    ASSERT_EQ(weight.size(), eventFrame.size());
    std::vector<double> rowsPerFrame(kFrames + 1, 0.0);
    for (std::size_t i = 0; i < eventFrame.size(); ++i) {
      const auto f = static_cast<std::size_t>(eventFrame[i]);
      ASSERT_TRUE(f >= 1 && f <= static_cast<std::size_t>(kFrames)) << "row " << i;
      const bool opensFrame = i == 0 || eventFrame[i - 1] != eventFrame[i];
      EXPECT_EQ(kind[i] == 99, opensFrame) << "row " << i;
      if (kind[i] == 99) {
        EXPECT_EQ(src[i], -1);
      } else {
        ASSERT_TRUE(kind[i] == 0 || kind[i] == 2) << "row " << i << " kind " << kind[i];
        ASSERT_GT(weight[i], SamplingParameters{}.emitThreshold) << "row " << i;
      }
      EXPECT_EQ(eventTime[i], results[f - 1].captureTime);
      ++rowsPerFrame[f];
    }
    for (int f = 0; f < kFrames; ++f)
      EXPECT_EQ(rowsPerFrame[f + 1], pushed[f]) << "frame " << f + 1;

    const std::vector<double> konioFrame = h5.numbers("/konio_events/frame");
    const std::vector<double> unit = h5.numbers("/konio_events/unit");
    const std::vector<float> konioWeight = h5.floats("/konio_events/weight");
    EXPECT_FALSE(konioFrame.empty());
    for (std::size_t i = 0; i < konioFrame.size(); ++i) {
      ASSERT_TRUE(konioFrame[i] >= 1 && konioFrame[i] <= kFrames + 1) << "row " << i;
      ASSERT_TRUE(unit[i] >= 0 && unit[i] < 30202) << "row " << i;
      ASSERT_GT(konioWeight[i], KonioParameters{}.outputThreshold) << "row " << i;
    }

    // The retina as generated and placed.
    const std::vector<Sensor>& sensors = run.session.retina().sensors;
    const SensorOffsets& offsets = run.session.state().offsets;
    const std::vector<double> x = h5.numbers("/retina/x"), px = h5.numbers("/retina/px");
    const std::vector<double> py = h5.numbers("/retina/py"), radius = h5.numbers("/retina/radius");
    const std::vector<double> colorClass = h5.numbers("/retina/color_class");
    const std::vector<double> prime = h5.numbers("/retina/is_prime");
    ASSERT_EQ(x.size(), sensors.size());
    ASSERT_EQ(px.size(), sensors.size());
    for (std::size_t i = 0; i < sensors.size(); ++i) {
      ASSERT_EQ(x[i], sensors[i].x) << i;
      ASSERT_EQ(colorClass[i], static_cast<int>(sensors[i].colorClass)) << i;
      ASSERT_EQ(prime[i], sensors[i].isPrime) << i;
      ASSERT_EQ(radius[i], discRadius(sensors[i])) << i;
      ASSERT_EQ(px[i], offsets[i].x) << i;
      ASSERT_EQ(py[i], offsets[i].y) << i;
    }
    EXPECT_EQ(h5.numberAttribute("/retina", "retina_scale"), run.session.state().retinaScale);
    EXPECT_EQ(h5.textAttribute("/retina/color_class", "value_names"),
              (std::vector<std::string>{"albastru", "rosu", "verde", "alb_negru"}));

    // Row f of /gains and /konio: the snapshots frame f was drawn with.
    const std::vector<float> gainRows = h5.floats("/gains");
    const std::vector<float> konioRows = h5.floats("/konio");
    ASSERT_EQ(h5.shape("/gains"), (std::vector<hsize_t>{kFrames, sensors.size()}));
    ASSERT_EQ(konioRows.size(), gainRows.size());
    for (int f = 0; f < kFrames; ++f) {
      const auto row = gainRows.begin() + static_cast<std::ptrdiff_t>(f * sensors.size());
      EXPECT_TRUE(std::equal(gains[f].begin(), gains[f].end(), row)) << "gains of frame " << f + 1;
      const auto krow = konioRows.begin() + static_cast<std::ptrdiff_t>(f * sensors.size());
      EXPECT_TRUE(std::equal(konio[f].begin(), konio[f].end(), krow)) << "Konio of frame " << f + 1;
    }
    // The model did something: identical rows would not tell the frames apart.
    EXPECT_NE(gains.front(), gains.back());
  }
}
