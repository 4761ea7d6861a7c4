// retina-replay run in process and headless: repeatability, the golden frame, recording at the
// source's rate, how it refuses bad options, inputs and outputs (the input's own files among
// them) without touching a file, and how a stop keeps every complete output.
//
// The golden image is frame 30 of the deterministic synthetic run. After an intended change to
// what the canvas shows, regenerate it from the repository root with
// clang-format off
//   ./build/apps/replay/retina-replay --deterministic --headless --frames 30 --snapshot 30:tests/golden/synthetic_frame30.png
// clang-format on
// and look at the new image before committing it.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <unistd.h>

#include "apps/replay/pacing.h"
#include "apps/replay/replay.h"
#include "h5_reader.h"
#include "replay_run.h"
#include "safe_output/atomic_file.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

bool oneLine(const std::string& text) {
  return !text.empty() && text.back() == '\n' && std::count(text.begin(), text.end(), '\n') == 1;
}

bool hasLine(const std::string& text, const std::string& line) {
  const std::vector<std::string> lines = consoleLines(text);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// What the recording holds: the count its header gives and the frames that decode.
struct VideoContents {
  int headerFrames = -1;
  int decodedFrames = 0;
  double framesPerSecond = 0.0;
  std::vector<cv::Mat> frames;
};

VideoContents readVideo(const std::string& path) {
  VideoContents contents;
  cv::VideoCapture video(path);
  if (!video.isOpened()) return contents;
  contents.headerFrames = static_cast<int>(video.get(cv::CAP_PROP_FRAME_COUNT));
  contents.framesPerSecond = video.get(cv::CAP_PROP_FPS);
  for (cv::Mat frame; video.read(frame) && !frame.empty(); frame = cv::Mat()) {
    contents.frames.push_back(frame);
  }
  contents.decodedFrames = static_cast<int>(contents.frames.size());
  return contents;
}

class ReplayFiles : public TempDirTest {
 protected:
  void writeFile(const std::string& name, const std::string& content) const {
    std::ofstream(path(name), std::ios::binary) << content;
  }

  void makeClip(const std::string& name, double framesPerSecond, int frames) const {
    ASSERT_TRUE(writeClip(path(name), framesPerSecond, frames));
  }
};

}  // namespace

TEST(ReplayDeterministic, RepeatsEveryCanvasExactlyAndMatchesTheGoldenFrame) {
  const std::vector<std::string> args{"--deterministic", "--frames", "30"};
  const ReplayRun first = replay(args, {true});
  const ReplayRun second = replay(args, {true});
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(second.status, 0) << second.err;
  ASSERT_EQ(first.canvases.size(), 30u);
  ASSERT_EQ(second.canvases.size(), 30u);
  for (std::size_t i = 0; i < 30; ++i) {
    EXPECT_EQ(cv::norm(first.canvases[i], second.canvases[i], cv::NORM_INF), 0.0)
        << "canvas of frame " << i + 1 << " differs between two runs";
  }
  // The scene moves: identical runs would prove little if every canvas were the same.
  EXPECT_GT(cv::norm(first.canvases[0], first.canvases[29], cv::NORM_INF), 0.0);

  const cv::Mat& actual = first.canvases[29];
  const std::string goldenPath = GOLDEN_DIR "/synthetic_frame30.png";
  const cv::Mat golden = cv::imread(goldenPath, cv::IMREAD_COLOR);
  ASSERT_FALSE(golden.empty()) << "cannot read " << goldenPath;
  ASSERT_EQ(actual.size(), cv::Size(1280, 720));
  cv::Mat diff;
  if (golden.size() == actual.size()) {
    cv::absdiff(golden, actual, diff);
    diff = diff.reshape(1);
  }
  if (diff.empty() || cv::countNonZero(diff) > 0) {
    const std::string actualPath = ACTUAL_DIR "/synthetic_frame30.actual.png";
    cv::imwrite(actualPath, actual);
    ADD_FAILURE() << "frame 30 differs from " << goldenPath << " ("
                  << (diff.empty() ? golden.cols * golden.rows : cv::countNonZero(diff))
                  << " channel values); this run's frame is in " << actualPath;
  }
}

TEST(ReplayConsole, PrintsTheProgramsLinesThenTheSummaryAndNoKeyHelpWithoutAWindow) {
  const ReplayRun run = replay({"--deterministic", "--frames", "3"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::vector<std::string> out = consoleLines(run.out);
  ASSERT_GE(out.size(), 4u) << run.out;
  EXPECT_EQ(out[0], "Generati 30202 senzori.");
  EXPECT_EQ(out[1], "Demo C++ cu camera si model neuronal (Konio + TRN)");
  EXPECT_EQ(out[2], "");
  EXPECT_EQ(out[3], "Summary: 3 frames, model stepped (deterministic)");
}

TEST(ReplayOptionsParsing, RefusesEachBadOptionOrCombinationWithOneLineNamingIt) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad{
      {{"--no-such-option"}, "unknown option '--no-such-option'"},
      {{"--frames", "0"}, "--frames needs"},
      {{"--frames", "-3"}, "--frames needs"},
      {{"--frames", "12x"}, "--frames needs"},
      {{"--frames"}, "--frames needs a value"},
      {{"--snapshot", "shot.png"}, "--snapshot needs"},
      {{"--snapshot", "0:shot.png"}, "--snapshot needs"},
      {{"--snapshot", "5:.png"}, "--snapshot needs"},
      {{"--snapshot", "5:shot.jpg"}, "--snapshot needs"},
      {{"--out", "run.mp4"}, "ending in .avi"},
      {{"--size", "1280"}, "--size needs"},
      {{"--video", "a.avi", "--image", "b.png"}, "at most one of"},
      {{"--camera", "0", "--video", "a.avi"}, "at most one of"},
      {{"--frames", "10", "--frames", "20"}, "--frames is given twice"},
      {{"--out", "a.avi", "--out", "b.avi"}, "--out is given twice"},
      {{"--video", "a.avi", "--video", "b.avi"}, "--video is given twice"},
      {{"--size", "64x64", "--video", "a.avi"}, "does not apply to --video"},
      {{"--image", "b.png", "--size", "64x64"}, "does not apply to --image"},
      {{"--camera", "1", "--size", "64x64"}, "does not apply to --camera"},
      {{"--fast", "--headless"}, "--fast"},
      {{"--fast", "--camera", "0"}, "--fast does not apply to --camera"},
      {{"--snapshot", "1:a.png", "--snapshot", "2:a.png"}, "'a.png' twice"},
      {{"--headless", "--headless"}, "--headless is given twice"},
      // A value is never read as an option: not help, but a missing file name.
      {{"--image", "-h"}, "--image needs a file name"},
      {{"--frames", "99999999999999999999"}, "too large: at most 2147483647"},
      {{"--frames", "10", "--snapshot", "11:shot.png"}, "beyond the last frame (10)"},
      {{"--image", "b.png", "--snapshot", "301:shot.png"}, "beyond the last frame (300)"},
      {{"--config"}, "--config needs a value"},
      {{"--fovea", "sideways"}, "--fovea takes model or fixed"},
      {{"--fovea-path", "path.txt"}, "--fovea-path reads a CSV file"},
      {{"--fovea", "fixed", "--fovea-path", "path.csv"}, "give --fovea or --fovea-path, not both"},
  };
  for (const auto& [args, fragment] : bad) {
    const std::string error = parseReplayCommand(args).error;
    EXPECT_NE(error.find(fragment), std::string::npos)
        << joined(args) << "gives '" << error << "', expected it to say '" << fragment << "'";
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }

  const ParsedCommand good = parseReplayCommand(
      {"--video", "clip_%03d.jpg", "--frames", "12", "--snapshot", "12:last.PNG", "--out",
       "run.AVI", "--snapshot", "3:early.png", "--headless", "--deterministic"});
  EXPECT_EQ(good.error, "");
  EXPECT_EQ(good.command.runSpec.input.kind, InputKind::video);
  EXPECT_EQ(good.command.runSpec.input.path, "clip_%03d.jpg");
  EXPECT_EQ(good.command.frames, 12);
  ASSERT_EQ(good.command.runSpec.snapshots.size(), 2u);
  EXPECT_EQ(good.command.runSpec.snapshots[0].frame, 12);
  EXPECT_EQ(good.command.runSpec.snapshots[0].path, "last.PNG");
  EXPECT_EQ(good.command.runSpec.snapshots[1].frame, 3);
  EXPECT_EQ(good.command.runSpec.snapshots[1].path, "early.png");
  EXPECT_EQ(good.command.runSpec.recording, "run.AVI");
  EXPECT_TRUE(good.command.headless && good.command.runSpec.deterministic);

  // Help is always there to be asked for, whatever else is wrong on the line.
  const ParsedCommand help = parseReplayCommand({"--frames", "0", "--bogus", "--help"});
  EXPECT_EQ(help.error, "");
  EXPECT_TRUE(help.command.help);
  EXPECT_TRUE(parseReplayCommand({"--version", "--frames"}).command.version);
}

TEST(ReplayPacing, WaitsForTheNextFrameAtTheSourcesRateUnlessUnpaced) {
  // The first wait after a frame is one period (less the microseconds this test takes), and the
  // schedule is absolute: asked again at once, the next frame is a second period away.
  const struct {
    double framesPerSecond;
    int firstMs;
    int secondMs;
  } cases[] = {{10.0, 100, 200}, {23.976, 42, 84}, {0.0, 1, 1}};
  for (const auto& c : cases) {
    FramePacer pacer(c.framesPerSecond, 1);
    const int first = pacer.keyWaitMs();
    const int second = pacer.keyWaitMs();
    EXPECT_LE(first, c.firstMs) << c.framesPerSecond << " fps";
    EXPECT_GE(first, c.firstMs * 3 / 4) << c.framesPerSecond << " fps";
    EXPECT_LE(second, c.secondMs) << c.framesPerSecond << " fps";
    EXPECT_GE(second, c.secondMs * 3 / 4) << c.framesPerSecond << " fps";
  }
}

TEST_F(ReplayFiles, RecordsEveryFrameAtTheCanvasSizeAndTheSourcesRate) {
  makeClip("ten.avi", 10.0, 12);
  const struct {
    std::vector<std::string> input;
    cv::Size size;
    int frames;
    double framesPerSecond;
  } cases[] = {
      {{"--frames", "20"}, {1280, 720}, 20, 30.0},
      {{"--frames", "20", "--size", "320x240"}, {320, 240}, 20, 30.0},
      {{"--video", path("ten.avi")}, {320, 240}, 12, 10.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.input));
    std::vector<std::string> args = c.input;
    args.insert(args.end(), {"--out", path("run.avi")});
    const ReplayRun run = replay(args, {true});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(hasLine(run.out, "Summary: " + std::to_string(c.frames) +
                                     " frames, model on its worker thread (live)"))
        << run.out;
    EXPECT_EQ(run.canvasSize, c.size);

    const VideoContents video = readVideo(path("run.avi"));
    EXPECT_EQ(video.headerFrames, c.frames);
    EXPECT_EQ(video.decodedFrames, c.frames);
    EXPECT_DOUBLE_EQ(video.framesPerSecond, c.framesPerSecond);
    for (int i = 0; i < std::min(video.decodedFrames, c.frames); ++i) {
      ASSERT_EQ(video.frames[i].size(), c.size);
      // MJPG is lossy: about 21 dB at 320x240, 25 at 1280x720; a black picture, another frame
      // or swapped colour channels give 10 to 14.
      EXPECT_GT(cv::PSNR(video.frames[i], run.canvases[i]), 18.0) << "frame " << i + 1;
    }
    EXPECT_EQ(contents().count(".run"), 0u);
  }
}

TEST_F(ReplayFiles, RefusesBeforeTheRunWithTheCauseAndTouchesNoFile) {
  writeFile("text.png", "not an image\n");
  writeFile("precious.avi", "a recording that must survive\n");
  writeFile("photo.png", "");
  fs::create_directory(path("folder.avi"));
  makeClip("clip.avi", 10.0, 6);
  makeClip("Hi!.avi", 10.0, 6);  // a name GStreamer would take for a pipeline
  // Read-only for root too: root's access() would say yes to both.
  writeFile("readonly.csv", "kept\n");
  fs::permissions(path("readonly.csv"), fs::perms::owner_read | fs::perms::group_read);
  fs::create_directory(path("locked"));
  fs::permissions(path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  ASSERT_EQ(replay({"--frames", "1", "--snapshot", "1:" + path("photo.png")}).status, 0);
  // Another run writing busy.csv now holds its temporary file.
  AtomicFile busy;
  ASSERT_EQ(busy.create(path("busy.csv")), "");
  fs::create_symlink(path("clip.avi"), path("link.avi"));
  fs::create_hard_link(path("clip.avi"), path("hard.avi"));
  fs::create_symlink(path("photo.png"), path("photo-link.png"));
  for (const char* name : {"seq_001.png", "seq_002.png"}) {
    cv::imwrite(path(name), cv::Mat(48, 64, CV_8UC3, cv::Scalar(0, 90, 200)));
  }
  const auto before = contents();

  const std::string missing = path("no/such");
  const std::string photo = path("photo.png");
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
      {{"--video", path("absent.avi")}, "No such file or directory"},
      {{"--video", path("folder.avi")}, "is a directory"},
      {{"--video", path("text.png")}, "not a video this build can decode"},
      {{"--image", path("absent.jpg")}, "No such file or directory"},
      {{"--image", path("folder.avi")}, "is a directory"},
      {{"--image", path("text.png")}, "not an image format this build reads"},
      {{"--frames", "5", "--out", missing + "/run.avi"}, "No such file or directory"},
      {{"--frames", "5", "--out", path("run.avi"), "--snapshot", "5:" + missing + "/shot.png"},
       "No such file or directory"},
      {{"--frames", "5", "--out", path("folder.avi")}, "is a directory"},
      {{"--frames", "5", "--size", "16384x16384", "--out", path("precious.avi")}, "refuses"},
      {{"--video", path("clip.avi"), "--out", path("clip.avi")}, "the input's files"},
      {{"--video", path("clip.avi"), "--out", path("link.avi")}, "the input's files"},
      {{"--video", path("clip.avi"), "--out", path("hard.avi")}, "the input's files"},
      // A path that exists is a file whatever it holds (replay_bad_option.sh: one that does
      // not may still be a pipeline, tried by every back-end).
      {{"--video", path("Hi!.avi"), "--out", path("Hi!.avi")}, "the input's files"},
      {{"--frames", "5", "--stats", path("readonly.csv")}, "Permission denied"},
      {{"--frames", "5", "--out", path("locked/run.avi")}, "Permission denied"},
      {{"--frames", "5", "--stats", path("busy.csv")}, "another run is writing it now"},
      {{"--image", photo, "--snapshot", "10:" + photo}, "the input's files"},
      // A name in an image sequence would become one of its frames.
      {{"--video", path("seq_%03d.png"), "--snapshot", "1:" + path("seq_003.png")},
       "the input's files"},
      {{"--frames", "5", "--snapshot", "1:" + photo, "--snapshot", "2:" + path("photo-link.png")},
       "twice"},
      {{"--video", path("clip.avi"), "--out", path("precious.avi"), "--snapshot",
        "7:" + path("shot.png")},
       "beyond the input's last frame (6)"},
  };
  for (const auto& [args, cause] : refused) {
    SCOPED_TRACE(joined(args));
    const ReplayRun run = replay(args);
    EXPECT_EQ(run.status, kReplayUsageError);
    EXPECT_TRUE(oneLine(run.err)) << run.err;
    EXPECT_NE(run.err.find(cause), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(contents() == before) << "a refused run changed the directory";
  }
}

// A run's temporary files are its own: in ".retina-partial/XXXXXX/" under the target's whole
// name, or, for the CSV and a snapshot, without a name until complete. A user's file is never
// taken for one, however it is named, and two targets never share one, however long their names.
TEST_F(ReplayFiles, TemporaryFilesAreTheRunsOwnUniqueAndWithoutANameWhereTheWriterAllows) {
  const std::string stem(240, 'n');  // a name of 245 bytes: no room left for a marker in it
  struct Case {
    std::string what;
    std::vector<std::string> args;
    std::vector<std::string> kept;  // files that must be there after the run, as they were
    std::vector<std::string> made;  // outputs the run must write
  };
  const std::vector<Case> cases{
      {"a user's hidden file that looks like a temporary one",
       {"--frames", "3", "--stats", path("notes.csv")},
       {".notes.retina-partial-backup.csv"},
       {"notes.csv"}},
      {"two long names alike but for their ends",
       {"--frames", "1", "--snapshot", "1:" + path(stem + "a.png"), "--snapshot",
        "1:" + path(stem + "b.png")},
       {},
       {stem + "a.png", stem + "b.png"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& name : c.kept)
      writeFile(name, "the user's own " + name);
    const ReplayRun run = replay(c.args);
    EXPECT_EQ(run.status, 0) << run.err;
    const auto after = contents();
    for (const std::string& name : c.kept)
      EXPECT_TRUE(after.count(name) > 0 && after.at(name) == "the user's own " + name) << name;
    for (const std::string& name : c.made)
      EXPECT_TRUE(fs::file_size(path(name)) > 0) << name;
    EXPECT_EQ(after.size(), c.kept.size() + c.made.size()) << "a temporary file stayed";
    fs::remove_all(dir_);
    fs::create_directory(dir_);
  }

  // In the middle of a run the CSV's rows are in no file of a name: its target's name marks the
  // run's subfolder, empty; the recording is written there under its own name.
  std::map<std::string, std::uintmax_t> files;  // name in its folder: size
  std::set<std::string> folders;
  const auto listFiles = [&](std::int64_t frame) {
    if (frame != 3) return;
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      if (!entry.is_regular_file()) continue;
      files[entry.path().filename()] = entry.file_size();
      folders.insert(fs::relative(entry.path().parent_path(), dir_).parent_path());
    }
  };
  const ReplayRun run = replay({"--frames", "4", "--size", "320x240", "--stats", path("s.csv"),
                                "--snapshot", "2:" + path("s.png"), "--out", path("s.avi")},
                               {}, listFiles);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(files.size(), 3u);
  EXPECT_EQ(files.count("s.csv") > 0 ? files.at("s.csv") : 1, 0u) << "the CSV has a name";
  EXPECT_GT(files.count("s.png") > 0 ? files.at("s.png") : 0, 0u) << "no snapshot at frame 2";
  EXPECT_EQ(files.count("s.avi"), 1u);
  EXPECT_EQ(folders, (std::set<std::string>{"", ".retina-partial"}));
}

TEST_F(ReplayFiles, AStopEndsTheRunWithEveryCompleteOutputAndTheSummary) {
  const std::string old = "an older recording\n";
  const std::string far = "a snapshot the run never reaches\n";
  const struct {
    int signal;
    int status;
  } cases[] = {{SIGINT, 130}, {SIGTERM, 143}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal == SIGINT ? "SIGINT" : "SIGTERM");
    writeFile("run.avi", old);
    writeFile("far.png", far);
    fs::remove(path("early.png"));
    fs::create_directories(path(".retina-partial/Zz9Kil"));
    writeFile(".retina-partial/Zz9Kil/run.avi",
              "left by a killed run, which holds no lock any more");
    RunSetup setup;
    setup.keepCanvases = true;
    setup.stopAfterFrame = 5;
    setup.stopSignal = c.signal;
    const ReplayRun run =
        replay({"--frames", "1000", "--size", "320x240", "--out", path("run.avi"), "--snapshot",
                "3:" + path("early.png"), "--snapshot", "50:" + path("far.png")},
               setup);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(hasLine(run.out, "Summary: 5 frames, model on its worker thread (live)"))
        << run.out;
    EXPECT_TRUE(oneLine(run.err) && run.err.find("frame 50 was not reached") != std::string::npos)
        << run.err;

    const VideoContents video = readVideo(path("run.avi"));
    EXPECT_EQ(video.headerFrames, 5);
    EXPECT_EQ(video.decodedFrames, 5);
    const cv::Mat early = cv::imread(path("early.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(early.size(), cv::Size(320, 240));
    EXPECT_EQ(cv::norm(early, run.canvases.at(2), cv::NORM_INF), 0.0);

    const auto after = contents();
    EXPECT_EQ(after.at("far.png"), far);
    EXPECT_EQ(after.size(), 3u) << "a temporary file was left behind, or a killed run's kept";
    // Every output with what became of it.
    for (const std::string& line :
         {"    " + path("run.avi") + ": written", "    " + path("early.png") + ": written",
          "    " + path("far.png") +
              ": left as it was: frame 50 was not reached (the run ended after 5 frames)"}) {
      EXPECT_TRUE(hasLine(run.out, line)) << line << " is not in\n" << run.out;
    }
  }

  // Stopped before its first frame (a closed pipe while the first lines are written), a run
  // writes no output at all, data files included.
  for (const char* name : {"keep.avi", "keep.csv", "keep.h5"})
    writeFile(name, std::string("the old ") + name);
  const auto before = contents();
  RunSetup setup;
  setup.stopBeforeFirstFrame = true;
  setup.stopSignal = SIGPIPE;
  const ReplayRun run = replay(
      {"--out", path("keep.avi"), "--stats", path("keep.csv"), "--export", path("keep.h5")}, setup);
  EXPECT_EQ(run.status, 128 + SIGPIPE) << run.err;
  EXPECT_TRUE(contents() == before) << "a run that drew no frame changed the directory";
  EXPECT_TRUE(hasLine(run.out, "    " + path("keep.h5") + ": left as it was: no frame was drawn"))
      << run.out;
}

TEST_F(ReplayFiles, ADamagedInputEndsWithAWarningThatTheSummaryAndTheExportRepeat) {
  // A clip cut short: its container still says 30 frames, a third of them are there.
  makeClip("whole.avi", 10.0, 30);
  {
    std::ifstream whole(path("whole.avi"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(whole)), {});
    writeFile("cut.avi", bytes.substr(0, bytes.size() / 3));
  }
  // A sequence with a gap: img_003.png is missing. (Frames wide enough for the fovea's margin.)
  for (const char* name : {"img_001.png", "img_002.png", "img_004.png", "img_005.png"}) {
    cv::imwrite(path(name), cv::Mat(200, 200, CV_8UC3, cv::Scalar(0, 90, 200)));
  }
  const struct {
    std::string input;
    std::string warning;  // what the warning says after the frame number
  } cases[] = {
      {path("cut.avi"), " of 30 does not decode"},
      {path("img_%03d.png"), ": 'img_003.png' is missing, though the sequence goes on to"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const ReplayRun run =
        replay({"--video", c.input, "--export", path("run.h5"), "--stats", path("run.csv")});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::size_t at = run.err.find("retina-replay: warning: the input ended early: frame ");
    ASSERT_NE(at, std::string::npos) << run.err;
    // The warning is the one line but for the export's drain line, which a loaded machine
    // shows when the writer lags.
    std::string warnings;
    for (const std::string& line : consoleLines(run.err))
      if (line.rfind("retina-replay: finishing '", 0) != 0) warnings += line + "\n";
    EXPECT_TRUE(oneLine(warnings)) << run.err;
    const std::string frames = run.out.substr(run.out.find("Summary: ") + 9);
    const long long drawn = std::stoll(frames);
    EXPECT_EQ(run.err.substr(at + 53, std::to_string(drawn + 1).size() + c.warning.size()),
              std::to_string(drawn + 1) + c.warning)
        << run.err;
    EXPECT_NE(run.out.find("\n  the input ended early: frame " + std::to_string(drawn + 1)),
              std::string::npos)
        << run.out;

    const H5Reader file(path("run.h5"));
    ASSERT_TRUE(file.ok());
    EXPECT_TRUE(file.hasAttribute("/", "input_ended_early")) << "no input_ended_early attribute";
    EXPECT_EQ(file.numberAttribute("/", "input_ended_early"), static_cast<double>(drawn + 1));
    EXPECT_EQ(file.numberAttribute("/", "completed"), 0);  // the whole input did not run
    EXPECT_EQ(file.textAttribute("/", "end_reason"), std::vector<std::string>{"input ended"});
    std::ifstream csv(path("run.csv"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(csv, line);)
      lines.push_back(line);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind(
                  "# the input ended early: frame " + std::to_string(drawn + 1) + c.warning, 0),
              0u)
        << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "# end: input ended (not completed: the input ended early)");
  }
}

// A frame less than twice fovea.margin across: the margin rule stays as it is, and the run says
// once, on standard error, that it pins the model's fovea (off the frame when a side is shorter
// than the margin, where only frame markers are pushed).
TEST(ReplaySmallFrames, AFrameTooSmallForTheFoveasMarginIsSaidOnceNamingIt) {
  const std::string head =
      " frames are less than twice fovea.margin (100 pixels) across, so the model's fovea "
      "cannot keep that margin from every edge: the margin rule pins its centre at ";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"64x48",
       "(-36, -52), off the frame, where its sensors see nothing and only frame "
       "markers are pushed"},
      {"150x150", "(50, 50)"},
  };
  for (const auto& [size, where] : cases) {
    SCOPED_TRACE(size);
    const ReplayRun run = replay({"--deterministic", "--frames", "20", "--size", size});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "retina-replay: warning: the " + size + head + where + "\n");
  }
}

TEST_F(ReplayFiles, AChangedKonioDecayRepeatsExactlyAndDiffersFromTheDefaults) {
  writeFile("slow.toml", "[konio]\ndecay = 0.5\n");
  const std::vector<std::string> plain{"--deterministic", "--frames", "30"};
  std::vector<std::string> changed = plain;
  changed.insert(changed.end(), {"--config", path("slow.toml")});
  const ReplayRun first = replay(changed, {true});
  const ReplayRun second = replay(changed, {true});
  const ReplayRun defaults = replay(plain, {true});
  for (const ReplayRun* run : {&first, &second, &defaults}) {
    ASSERT_EQ(run->status, 0) << run->err;
    ASSERT_EQ(run->canvases.size(), 30u);
  }
  int differing = 0;
  for (std::size_t i = 0; i < 30; ++i) {
    EXPECT_EQ(cv::norm(first.canvases[i], second.canvases[i], cv::NORM_INF), 0.0)
        << "frame " << i + 1 << " differs between two runs with the same parameters";
    differing += cv::norm(first.canvases[i], defaults.canvases[i], cv::NORM_INF) > 0.0;
  }
  EXPECT_GT(differing, 10);
  EXPECT_TRUE(hasLine(first.out, "  parameters not at their defaults: konio.decay")) << first.out;
  EXPECT_EQ(defaults.out.find("not at their defaults"), std::string::npos) << defaults.out;
}

TEST_F(ReplayFiles, RefusesABadFoveaPathWithItsLineAndAnOutputOverAParameterFile) {
  const std::string csv = path("path.csv");
  const std::vector<std::string> follow{"--frames", "3", "--fovea-path", csv};
  struct Case {
    std::string text;  // of path.csv
    std::vector<std::string> more;
    std::string message;  // after "retina-replay: "
  };
  const std::vector<Case> cases{
      {"frame,cx,cy\n1,10,10\n5,1280,10\n",
       {},
       "--fovea-path '" + csv +
           "': line 3: frame 5's centre (1280, 10) is outside the 1280x720 "
           "picture"},
      {"frame,cx,cy\n1,10,-1\n",
       {"--size", "64x48"},
       "--fovea-path '" + csv +
           "': line 2: frame 1's centre (10, -1) is outside the 64x48 picture"},
      {"frame,x,y\n1,10,10\n",
       {},
       "--fovea-path '" + csv + "': line 1: the first line must be the header frame,cx,cy"},
      {"frame,cx,cy\n# start\n1,10,10\n1,20,20\n",
       {},
       "--fovea-path '" + csv + "': line 4: frame 1 comes after frame 1; frames must increase"},
      {"frame,cx,cy\n0,10,10\n",
       {},
       "--fovea-path '" + csv + "': line 2: the frame must be a whole number from 1, not '0'"},
      {"frame,cx,cy\n1,10.5,10\n",
       {},
       "--fovea-path '" + csv + "': line 2: cx and cy must be whole pixels, not '10.5' and '10'"},
      {"frame,cx,cy\n1,10\n",
       {},
       "--fovea-path '" + csv + "': line 2: 2 fields; each line holds frame,cx,cy"},
      {"frame,cx,cy\n", {}, "--fovea-path '" + csv + "': no waypoint after the header frame,cx,cy"},
      // Parameter files are inputs too: no output may write over one.
      {"frame,cx,cy\n1,10,10\n",
       {"--stats", csv},
       "will not write '" + csv + "': it is the file --fovea-path reads"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    writeFile("path.csv", c.text);
    std::vector<std::string> args = follow;
    args.insert(args.end(), c.more.begin(), c.more.end());
    const std::map<std::string, std::string> before = contents();
    const ReplayRun run = replay(args);
    EXPECT_EQ(run.status, kReplayUsageError);
    EXPECT_EQ(run.err, "retina-replay: " + c.message + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(contents() == before) << "a file was written";
  }
  writeFile("empty.csv", "");  // an empty file is a valid parameter file: all defaults
  const ReplayRun config = replay({"--config", path("empty.csv"), "--stats", path("empty.csv")});
  EXPECT_EQ(config.err, "retina-replay: will not write '" + path("empty.csv") +
                            "': it is the file --config reads\n");
}
