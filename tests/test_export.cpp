// retina-replay's data files read back with the HDF5 library: what the export holds against what
// the session did, repeatability, and how failures and bad targets leave the user's files alone.

#include <gtest/gtest.h>

#include <hdf5.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <opencv2/core.hpp>

#include "app/parameter_file.h"
#include "app/parameters.h"
#include "app/sampling.h"
#include "app/synthetic_scene.h"
#include "display/render.h"
#include "model/konio_layer.h"
#include "replay_run.h"
#include "session_fixture.h"
#include "temp_dir.h"
#include "tools/replay/export.h"
#include "tools/replay/replay.h"
#include "tools/replay/stats.h"

// ThreadSanitizer reads this when it starts. The refused-input cases open a real video, and
// FFmpeg's uninstrumented decoder threads show their own hand-offs as races that are not this
// program's.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\nrace:libavutil.so\nrace:libavformat.so\n";
}

namespace {

namespace fs = std::filesystem;

// A file opened read-only; every read converts to the native type asked for.
class H5Reader {
 public:
  explicit H5Reader(const std::string& path)
      : file_(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)) {}
  ~H5Reader() {
    if (file_ >= 0) H5Fclose(file_);
  }
  bool ok() const { return file_ >= 0; }

  template <class T>
  std::vector<T> read(const std::string& name, hid_t memoryType) const {
    std::vector<T> values;
    const hid_t dataset = H5Dopen2(file_, name.c_str(), H5P_DEFAULT);
    if (dataset < 0) {
      ADD_FAILURE() << "no dataset " << name;
      return values;
    }
    const hid_t space = H5Dget_space(dataset);
    values.resize(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    if (!values.empty()) {
      EXPECT_GE(H5Dread(dataset, memoryType, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
    }
    H5Sclose(space);
    H5Dclose(dataset);
    return values;
  }
  std::vector<double> numbers(const std::string& name) const {
    return read<double>(name, H5T_NATIVE_DOUBLE);
  }
  std::vector<float> floats(const std::string& name) const {
    return read<float>(name, H5T_NATIVE_FLOAT);
  }

  // Rows and columns of a dataset.
  std::vector<hsize_t> shape(const std::string& name) const {
    const hid_t dataset = H5Dopen2(file_, name.c_str(), H5P_DEFAULT);
    const hid_t space = H5Dget_space(dataset);
    std::vector<hsize_t> dims(static_cast<std::size_t>(H5Sget_simple_extent_ndims(space)));
    H5Sget_simple_extent_dims(space, dims.data(), nullptr);
    H5Sclose(space);
    H5Dclose(dataset);
    return dims;
  }

  double numberAttribute(const std::string& object, const std::string& name) const {
    const std::vector<double> values = numberArrayAttribute(object, name);
    return values.size() == 1 ? values[0] : -1.0;
  }

  std::vector<double> numberArrayAttribute(const std::string& object,
                                           const std::string& name) const {
    std::vector<double> values;
    withAttribute(object, name, [&](hid_t attribute, std::size_t count) {
      values.resize(count);
      H5Aread(attribute, H5T_NATIVE_DOUBLE, values.data());
    });
    return values;
  }

  bool hasAttribute(const std::string& object, const std::string& name) const {
    return H5Aexists_by_name(file_, object.c_str(), name.c_str(), H5P_DEFAULT) > 0;
  }

  std::vector<std::string> textAttribute(const std::string& object, const std::string& name) const {
    std::vector<std::string> texts;
    withAttribute(object, name, [&](hid_t attribute, std::size_t count) {
      std::vector<char*> raw(count);
      const hid_t type = H5Tcopy(H5T_C_S1);
      H5Tset_size(type, H5T_VARIABLE);
      H5Tset_cset(type, H5T_CSET_UTF8);
      if (H5Aread(attribute, type, raw.data()) >= 0) {
        for (char* text : raw) {
          texts.emplace_back(text != nullptr ? text : "");
          H5free_memory(text);
        }
      }
      H5Tclose(type);
    });
    return texts;
  }

  // Every dataset's path and its bytes as stored (file type), for comparing runs.
  std::map<std::string, std::vector<char>> allDatasets() const {
    std::vector<std::string> names;
    H5Ovisit(
        file_, H5_INDEX_NAME, H5_ITER_INC,
        [](hid_t, const char* name, const H5O_info_t* info, void* data) -> herr_t {
          if (info->type == H5O_TYPE_DATASET)
            static_cast<std::vector<std::string>*>(data)->push_back(name);
          return 0;
        },
        &names);
    std::map<std::string, std::vector<char>> datasets;
    for (const std::string& name : names) {
      const hid_t dataset = H5Dopen2(file_, name.c_str(), H5P_DEFAULT);
      const hid_t type = H5Dget_type(dataset);
      const hid_t space = H5Dget_space(dataset);
      std::vector<char> bytes(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)) *
                              H5Tget_size(type));
      if (!bytes.empty()) H5Dread(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data());
      datasets[name] = std::move(bytes);
      H5Sclose(space);
      H5Tclose(type);
      H5Dclose(dataset);
    }
    return datasets;
  }

 private:
  // Opens attribute `name` of `object` and hands it with its number of elements to `read`.
  template <class Read>
  void withAttribute(const std::string& object, const std::string& name, Read&& read) const {
    const hid_t attribute =
        H5Aopen_by_name(file_, object.c_str(), name.c_str(), H5P_DEFAULT, H5P_DEFAULT);
    if (attribute < 0) {
      ADD_FAILURE() << object << " has no attribute " << name;
      return;
    }
    const hid_t space = H5Aget_space(attribute);
    read(attribute, static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    H5Sclose(space);
    H5Aclose(attribute);
  }

  hid_t file_;
};

class ExportFiles : public TempDirTest {};

}  // namespace

// The session is driven here, so that every frame's snapshots can be kept and compared with the
// rows the export wrote; live, the worker thread pushes Konio events into the log meanwhile.
TEST_F(ExportFiles, HoldsEveryFrameEventAndTheRetinaAsTheSessionSawThem) {
  for (const ModelMode mode : {ModelMode::steppedAfterEmission, ModelMode::workerThread}) {
    SCOPED_TRACE(mode == ModelMode::workerThread ? "worker thread" : "stepped");
    const std::string file = path(mode == ModelMode::workerThread ? "live.h5" : "stepped.h5");
    constexpr int kFrames = 8;
    TestSession run(mode);
    Hdf5Export exporter;
    ASSERT_EQ(exporter.create(file, true), "");
    exporter.start({"retina-replay test", "synthetic", false, 30202, "2000-01-01T00:00:00Z"},
                   run.session.eventQueue());
    const SyntheticScene scene(cv::Size(640, 360));
    std::vector<FrameResult> results;
    std::vector<std::vector<float>> gains, konio;
    cv::Mat image;
    for (int f = 0; f < kFrames; ++f) {
      scene.render(f * 7, image);
      results.push_back(run.frame(image, std::chrono::milliseconds(33)));
      ASSERT_TRUE(results.back().drawn);
      gains.push_back(run.session.state().gainSnapshot);
      konio.push_back(run.session.state().konioSnapshot);
      ASSERT_EQ(exporter.add(results.back(), run.session.placement(), f + 1), "");
    }
    run.session.stop();
    ASSERT_EQ(exporter.finish({"input ended", true}), "");
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

TEST_F(ExportFiles, TwoDeterministicRunsExportTheSameDatasetsAndStatsLines) {
  const std::vector<std::string> common{"--deterministic", "--frames", "6", "--export-gains"};
  std::vector<std::map<std::string, std::vector<char>>> datasets;
  for (const std::string name : {"a", "b"}) {
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--export", path(name + ".h5"), "--stats", path(name + ".csv")});
    const ReplayRun run = replay(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\n  export "), std::string::npos) << run.out;
    const H5Reader h5(path(name + ".h5"));
    ASSERT_TRUE(h5.ok());
    datasets.push_back(h5.allDatasets());
    EXPECT_EQ(h5.textAttribute("/", "input"), std::vector<std::string>{"synthetic"});
    EXPECT_EQ(h5.numberAttribute("/", "deterministic"), 1);

    // The CSV: the provenance as comment lines, the header, then frame n's line with the events
    // the export counted for it, then how the run ended.
    std::ifstream csv(path(name + ".csv"));
    std::string line;
    std::vector<std::string> comments;
    while (std::getline(csv, line) && line.rfind("# ", 0) == 0)
      comments.push_back(line);
    EXPECT_EQ(line, statsHeader());
    for (const std::string expected :
         {"# mode: deterministic", "# fovea: model", "#   konio.decay = 0.98"}) {
      EXPECT_EQ(std::count(comments.begin(), comments.end(), expected), 1) << expected;
    }
    const std::vector<double> pushed = h5.numbers("/frames/events_pushed");
    std::size_t lines = 0;
    for (; std::getline(csv, line) && line.rfind('#', 0) != 0; ++lines) {
      std::vector<std::string> fields;
      std::stringstream fieldStream(line);
      for (std::string field; std::getline(fieldStream, field, ',');)
        fields.push_back(field);
      ASSERT_EQ(fields.size(), 18u) << line;
      EXPECT_EQ(fields[0], std::to_string(lines + 1));
      ASSERT_LT(lines, pushed.size());
      EXPECT_EQ(std::stod(fields[11]), pushed[lines]) << line;
    }
    EXPECT_EQ(lines, 6u);
    EXPECT_EQ(line, "# end: frame limit (completed)");
  }
  ASSERT_EQ(datasets[0].size(), datasets[1].size());
  EXPECT_GE(datasets[0].size(), 30u);  // frames, events, Konio events, retina, gains, Konio
  for (const auto& [name, bytes] : datasets[0]) {
    EXPECT_FALSE(bytes.empty()) << name;
    EXPECT_TRUE(bytes == datasets[1][name]) << name << " differs between two runs";
  }
}

TEST_F(ExportFiles, RecordTheParametersAndTheScriptedFoveaAndExplainEveryDataset) {
  // Two changed parameters and a scripted fovea (Windows line ends, a comment, spaces): every
  // frame's centre is the path's, held from its frame to the next.
  std::ofstream(path("slow.toml")) << "[konio]\ndecay = 0.5\n[trn]\nstrength = 7\n";
  std::ofstream(path("path.csv")) << "frame,cx,cy\r\n# a saccade\r\n2, 200, 100\r\n5,900,600\r\n";
  const ReplayRun run =
      replay({"--deterministic", "--frames", "7", "--config", path("slow.toml"), "--fovea-path",
              path("path.csv"), "--export", path("run.h5"), "--stats", path("run.csv")});
  ASSERT_EQ(run.status, 0) << run.err;
  const H5Reader h5(path("run.h5"));
  ASSERT_TRUE(h5.ok());
  EXPECT_EQ(h5.numbers("/frames/fovea_cx"),
            (std::vector<double>{640, 200, 200, 200, 900, 900, 900}));
  EXPECT_EQ(h5.numbers("/frames/fovea_cy"),
            (std::vector<double>{360, 100, 100, 100, 600, 600, 600}));

  // Every parameter, defaults included, and the file that repeats the run.
  Parameters expected;
  expected.konio.decay = 0.5f;
  expected.trn.strength = 7.0f;
  for (const ParameterKey& key : parameterKeys()) {
    EXPECT_EQ(h5.numberAttribute("/parameters", key.path()), parameterValue(expected, key))
        << key.path();
  }
  const ParameterFileResult again =
      parseParameterText(h5.textAttribute("/parameters", "toml").at(0));
  EXPECT_EQ(again.error, "");
  EXPECT_TRUE(again.parameters == expected);
  EXPECT_EQ(h5.textAttribute("/parameters", "non_default"),
            std::vector<std::string>{"konio.decay trn.strength"});

  const std::map<std::string, std::string> texts{{"mode", "deterministic"},
                                                 {"input_path", ""},
                                                 {"config_file", path("slow.toml")},
                                                 {"fovea_control", "path " + path("path.csv")},
                                                 {"end_reason", "frame limit"}};
  for (const auto& [name, value] : texts)
    EXPECT_EQ(h5.textAttribute("/", name), std::vector<std::string>{value}) << name;
  const std::map<std::string, double> numbers{
      {"export_gains", 0}, {"input_size_bytes", -1}, {"input_frame_rate", 30},
      {"completed", 1},    {"queue_bound", 20000},   {"emission_threshold", 0.03f}};
  for (const auto& [name, value] : numbers)
    EXPECT_EQ(h5.numberAttribute("/", name), value) << name;
  EXPECT_FALSE(h5.hasAttribute("/", "first_frame_wall_time"));  // frame-clock times

  // Every dataset says what it holds and in which unit; categories name their values instead.
  const std::set<std::string> categories{"events/kind", "retina/color_class", "retina/is_spiral",
                                         "retina/is_prime"};
  for (const auto& [name, bytes] : h5.allDatasets()) {
    EXPECT_FALSE(h5.textAttribute(name, "description").at(0).empty()) << name;
    EXPECT_EQ(h5.hasAttribute(name, "units"), categories.count(name) == 0) << name;
  }
  EXPECT_EQ(h5.numberArrayAttribute("/events/kind", "values"), (std::vector<double>{0, 2, 99}));
  EXPECT_EQ(h5.textAttribute("/events/kind", "value_names"),
            (std::vector<std::string>{"photoreceptor", "konio_input", "frame_marker"}));
  EXPECT_EQ(h5.numberArrayAttribute("/retina/color_class", "values"),
            (std::vector<double>{0, 1, 2, 3}));
  EXPECT_NE(h5.textAttribute("/frames/t", "description").at(0).find("frame clock"),
            std::string::npos);

  // The CSV file opens with the same record.
  std::ifstream csv(path("run.csv"));
  std::vector<std::string> comments;
  for (std::string line; std::getline(csv, line);)
    if (line.rfind("#", 0) == 0) comments.push_back(line);
  for (const std::string& line : std::vector<std::string>{
           "# parameters (differing from the defaults: konio.decay, trn.strength):",
           "#   trn.strength = 7.0", "# config file: " + path("slow.toml"),
           "# fovea: path " + path("path.csv"), "# end: frame limit (completed)"}) {
    EXPECT_EQ(std::count(comments.begin(), comments.end(), line), 1) << line;
  }
}

TEST_F(ExportFiles, RecordWhereTheInputCameFromAndHowTheRunEnded) {
  const std::string clip = path("clip.avi");
  ASSERT_TRUE(writeClip(clip, 12.0, 6));
  const struct {
    std::vector<std::string> args;
    RunSetup setup;
    std::string end;
    double completed;
  } cases[] = {
      {{"--deterministic"}, {}, "input ended", 1},
      {{"--frames", "4"}, {}, "frame limit", 1},
      {{"--frames", "5"}, {false, 2, SIGINT}, "signal SIGINT", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--video", clip, "--export", path("run.h5")});
    const auto wallClock = [] {
      return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
          .count();
    };
    const double before = wallClock();
    const ReplayRun run = replay(args, c.setup);
    const double after = wallClock();
    EXPECT_EQ(run.status, c.setup.stopAfterFrame > 0 ? 128 + SIGINT : 0) << run.err;
    const H5Reader h5(path("run.h5"));
    ASSERT_TRUE(h5.ok());
    EXPECT_EQ(h5.textAttribute("/", "end_reason"), std::vector<std::string>{c.end});
    EXPECT_EQ(h5.numberAttribute("/", "completed"), c.completed);
    EXPECT_EQ(h5.textAttribute("/", "input_path"), std::vector<std::string>{clip});
    EXPECT_EQ(h5.numberAttribute("/", "input_size_bytes"), fs::file_size(clip));
    EXPECT_EQ(h5.numberAttribute("/", "input_frame_rate"), 12.0);
    const bool live = c.args[0] != "--deterministic";
    EXPECT_EQ(h5.textAttribute("/", "mode"),
              std::vector<std::string>{live ? "live" : "deterministic"});
    EXPECT_EQ(h5.hasAttribute("/", "first_frame_wall_time"), live);
    if (live) {
      // Live times are steady-clock times; the first frame's is tied to the wall clock.
      const double first = h5.numberAttribute("/", "first_frame_unix_time");
      EXPECT_GE(first, before - 0.01);
      EXPECT_LE(first, after + 0.01);
      EXPECT_NE(h5.textAttribute("/frames/t", "description").at(0).find("steady clock"),
                std::string::npos);
    }
  }
}

TEST_F(ExportFiles, RefusesTheInputAndUnwritablePlacesNamingTheCauseAndLeavesNothing) {
  // A video under names an export could be given: VideoCapture goes by the content. (Not an
  // image: OpenCV's image codecs start GDAL, whose own lock order ThreadSanitizer reports.)
  const std::string clip = "/usr/share/doc/opencv-doc/examples/data/Megamind.avi";
  if (!fs::exists(clip)) GTEST_SKIP() << clip << " is missing (Debian package opencv-doc)";
  fs::copy_file(clip, path("clip.h5"));
  fs::copy_file(clip, path("clip.csv"));
  fs::create_symlink(path("clip.h5"), path("link.h5"));
  fs::create_hard_link(path("clip.csv"), path("hard.csv"));
  fs::create_directory(path("folder.h5"));
  fs::create_symlink("/dev/null", path("null.h5"));
  std::ofstream(path("plain.txt")) << "a file, not a folder\n";
  const std::map<std::string, std::string> before = contents();

  struct Case {
    std::vector<std::string> args;
    std::string cause;
  };
  const std::vector<Case> cases{
      {{"--video", path("clip.h5"), "--export", path("clip.h5")}, "one of the input's files"},
      {{"--video", path("clip.h5"), "--export", path("link.h5")}, "one of the input's files"},
      {{"--video", path("clip.csv"), "--stats", path("hard.csv")}, "one of the input's files"},
      {{"--video", path("link.h5"), "--export", path("clip.h5")}, "one of the input's files"},
      {{"--frames", "2", "--export", path("no/such/run.h5")}, "No such file or directory"},
      {{"--frames", "2", "--stats", path("plain.txt/run.csv")}, "Not a directory"},
      {{"--frames", "2", "--export", path("folder.h5")}, "is a directory"},
      {{"--frames", "2", "--export", path("null.h5")}, "not a regular file"},
      {{"--frames", "2", "--export", path("run.h5"), "--stats", path("no/such/run.csv")},
       "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.args));
    const ReplayRun run = replay(c.args);
    EXPECT_EQ(run.status, kReplayUsageError);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find(c.cause), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(contents() == before) << "a file was added, removed or changed";
  }
}

// A write that fails half-way (a full disk; here the file size limit, which fails the same
// write calls with EFBIG) ends the run with the cause, and neither the target nor a temporary
// file stays; another output that is complete, a CSV beside a failed export, is still put in
// place, and the summary says what became of each.
TEST_F(ExportFiles, AWriteFailureEndsTheRunWithTheCauseAndLeavesNoFile) {
  struct Case {
    std::vector<std::string> options;
    std::string name;  // the file that fails
    rlim_t limitBytes;
    std::string kept;  // a complete output put in place all the same, if any
    const char* frames = "40";
  };
  const std::vector<Case> cases{
      {{"--export", path("run.h5")}, "run.h5", 1 << 20, ""},
      {{"--stats", path("run.csv")}, "run.csv", 1500, ""},
      // Enough frames for the export to fail during the run, not only at its end.
      {{"--export", path("run.h5"), "--stats", path("mix.csv")},
       "run.h5",
       1 << 20,
       "mix.csv",
       "200"},
  };
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.options));
    rlimit limited = saved;
    limited.rlim_cur = c.limitBytes;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::vector<std::string> args{"--deterministic", "--frames", c.frames};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ReplayRun run = replay(args);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("cannot write '" + path(c.name) + "': File too large"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("    " + path(c.name) + ": not written: File too large\n"),
              std::string::npos)
        << run.out;
    if (c.kept.empty()) {
      EXPECT_TRUE(contents().empty()) << contents().begin()->first;
      continue;
    }
    EXPECT_NE(run.out.find("    " + path(c.kept) + ": written\n"), std::string::npos) << run.out;
    // Every frame drawn, up to the one whose export failed.
    const std::size_t frames = std::stoul(run.out.substr(run.out.find("Summary: ") + 9));
    // A header and a line per frame, after the provenance's comment lines.
    std::istringstream csv(contents().at(c.kept));
    std::size_t lines = 0;
    for (std::string line; std::getline(csv, line);)
      lines += !line.empty() && line[0] != '#';
    EXPECT_EQ(lines, frames + 1);
    EXPECT_EQ(contents().size(), 1u);
    fs::remove(path(c.kept));
  }
  std::signal(SIGXFSZ, previous);
}

TEST(ExportOptions, RefuseWrongNamesAndGainsWithoutAnExport) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--export", "run.hdf"}, {"--export"}, {"--stats", "run.txt"}, {"--export-gains"}}) {
    const std::string error = parseReplayOptions(args).error;
    EXPECT_FALSE(error.empty()) << "accepted: " << joined(args);
  }
  const ParsedOptions good = parseReplayOptions(
      {"--export", "run.H5", "--export-gains", "--stats", "run.csv", "--frames", "3"});
  EXPECT_EQ(good.error, "");
  EXPECT_EQ(good.options.exportPath, "run.H5");
  EXPECT_TRUE(good.options.exportGains);
  EXPECT_EQ(good.options.statsPath, "run.csv");
  EXPECT_EQ(good.options.arguments.size(), 7u);
}
