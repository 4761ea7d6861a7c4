// retina-replay's data files as a run writes them, read back with the HDF5 library:
// repeatability with either export writer, the run's record (parameters, input, how it ended),
// and how failures and bad targets leave the user's files alone.

#include <gtest/gtest.h>

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

#include "apps/replay/replay.h"
#include "datafiles/stats.h"
#include "h5_reader.h"
#include "replay_run.h"
#include "session/parameter_file.h"
#include "session/parameters.h"
#include "temp_dir.h"

// ThreadSanitizer reads this when it starts. The refused-input cases open a real video, and
// FFmpeg's uninstrumented decoder threads show their own hand-offs as races that are not this
// program's.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\nrace:libavutil.so\nrace:libavformat.so\n";
}

namespace {

namespace fs = std::filesystem;

class ExportFiles : public TempDirTest {};

}  // namespace
// The second run writes its export on the frame loop's thread, as a batch's clips do.
TEST_F(ExportFiles, TwoDeterministicRunsExportTheSameDatasetsAndStatsLinesWithEitherWriter) {
  const std::vector<std::string> common{"--deterministic", "--frames", "6", "--export-gains"};
  std::vector<std::map<std::string, std::vector<char>>> datasets;
  for (const std::string name : {"a", "b"}) {
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--export", path(name + ".h5"), "--stats", path(name + ".csv")});
    RunSetup setup;
    setup.exportWriterThread = name == "a";
    const ReplayRun run = replay(args, setup);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\n  export "), std::string::npos) << run.out;
    const H5Reader h5(path(name + ".h5"));
    ASSERT_TRUE(h5.ok());
    datasets.push_back(h5.allDatasets());
    EXPECT_EQ(h5.textAttribute("/", "input"), std::vector<std::string>{"synthetic"});
    EXPECT_EQ(h5.numberAttribute("/", "deterministic"), 1);
    // The model moves the centre after sampling: a frame is sampled around the centre the
    // previous one was drawn around, the first around the middle of the 1280 x 720 scene.
    const std::vector<double> drawnX = h5.numbers("/frames/fovea_cx");
    const std::vector<double> drawnY = h5.numbers("/frames/fovea_cy");
    std::vector<double> sampledX{640}, sampledY{360};
    sampledX.insert(sampledX.end(), drawnX.begin(), drawnX.end() - 1);
    sampledY.insert(sampledY.end(), drawnY.begin(), drawnY.end() - 1);
    EXPECT_EQ(h5.numbers("/frames/sampled_cx"), sampledX);
    EXPECT_EQ(h5.numbers("/frames/sampled_cy"), sampledY);
    EXPECT_NE(drawnX, sampledX);  // the centre moved

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
      ASSERT_EQ(fields.size(), 20u) << line;
      EXPECT_EQ(fields[0], std::to_string(lines + 1));
      ASSERT_LT(lines, pushed.size());
      EXPECT_EQ(std::stod(fields[11]), pushed[lines]) << line;
      EXPECT_EQ(std::stod(fields[18]), sampledX[lines]) << line;
      EXPECT_EQ(std::stod(fields[19]), sampledY[lines]) << line;
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
  // A waypoint moves the centre before its frame is sampled.
  EXPECT_EQ(h5.numbers("/frames/sampled_cx"), h5.numbers("/frames/fovea_cx"));
  EXPECT_EQ(h5.numbers("/frames/sampled_cy"), h5.numbers("/frames/fovea_cy"));

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

// Every input's path as the file system resolves it: through "d/..", with d a link to a folder
// elsewhere, the file read is the one beside that folder, not beside the link.
TEST_F(ExportFiles, RecordEachInputsPathAsTheFileSystemResolvesItNotAsItsTextReads) {
  fs::create_directories(path("real/sub"));
  fs::create_symlink(path("real/sub"), path("d"));
  ASSERT_TRUE(writeClip(path("real/clip.avi"), 12.0, 3));
  std::ofstream(path("real/cfg.toml")) << "[konio]\ndecay = 0.5\n";
  std::ofstream(path("real/path.csv")) << "frame,cx,cy\n1,10,10\n";
  const std::string via = path("d/../");
  const struct {
    std::vector<std::string> args;
    std::string attribute;  // of the export's root
    std::string recorded;
  } cases[] = {
      {{"--frames", "2", "--config", via + "cfg.toml"}, "config_file", path("real/cfg.toml")},
      {{"--frames", "2", "--fovea-path", via + "path.csv"},
       "fovea_control",
       "path " + path("real/path.csv")},
      {{"--video", via + "clip.avi"}, "input_path", path("real/clip.avi")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--export", path("run.h5")});
    const ReplayRun run = replay(args);
    ASSERT_EQ(run.status, 0) << run.err;
    const H5Reader h5(path("run.h5"));
    ASSERT_TRUE(h5.ok());
    EXPECT_EQ(h5.textAttribute("/", c.attribute), std::vector<std::string>{c.recorded});
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
    const std::string error = parseReplayCommand(args).error;
    EXPECT_FALSE(error.empty()) << "accepted: " << joined(args);
  }
  const ParsedCommand good = parseReplayCommand(
      {"--export", "run.H5", "--export-gains", "--stats", "run.csv", "--frames", "3"});
  EXPECT_EQ(good.error, "");
  EXPECT_EQ(good.command.runSpec.exportFile, "run.H5");
  EXPECT_TRUE(good.command.runSpec.exportGains);
  EXPECT_EQ(good.command.runSpec.statsFile, "run.csv");
  EXPECT_EQ(good.command.runSpec.commandLine,
            "retina-replay --export run.H5 --export-gains --stats run.csv --frames 3");
}
