// retina-replay run in process and headless: repeatability, the golden frame, recording, and how
// it refuses bad options, inputs and outputs.
//
// The golden image is frame 30 of the deterministic synthetic run. After an intended change to
// what the canvas shows, regenerate it from the repository root with
// clang-format off
//   ./build/tools/replay/retina-replay --deterministic --headless --frames 30 --snapshot 30:tests/golden/synthetic_frame30.png
// clang-format on
// and look at the new image before committing it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "session_fixture.h"
#include "tools/replay/replay.h"

namespace {

namespace fs = std::filesystem;

struct ReplayRun {
  int status = -1;
  std::string out;
  std::string err;
  int canvasCount = 0;
  cv::Size canvasSize;
  std::vector<cv::Mat> canvases;  // copies, only when asked for
};

// Parses `args`, which must be valid, and runs them headless.
ReplayRun replay(const std::vector<std::string>& args, bool keepCanvases = false) {
  ParsedOptions parsed = parseReplayOptions(args);
  EXPECT_EQ(parsed.error, "");
  parsed.options.headless = true;
  ReplayRun run;
  std::ostringstream out, err;
  run.status = runReplay(parsed.options, out, err, [&](const cv::Mat& canvas) {
    ++run.canvasCount;
    run.canvasSize = canvas.size();
    if (keepCanvases) run.canvases.push_back(canvas.clone());
  });
  run.out = out.str();
  run.err = err.str();
  return run;
}

bool oneLine(const std::string& text) {
  return !text.empty() && text.back() == '\n' && std::count(text.begin(), text.end(), '\n') == 1;
}

// A fresh directory per test; tests run in parallel processes.
class ReplayFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = fs::temp_directory_path() / "test_replay.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ / name; }

  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_))
      names.insert(entry.path().filename());
    return names;
  }

  fs::path dir_;
};

}  // namespace

TEST(ReplayDeterministic, RepeatsEveryCanvasExactlyAndMatchesTheGoldenFrame) {
  const std::vector<std::string> args{"--deterministic", "--frames", "30"};
  const ReplayRun first = replay(args, true);
  const ReplayRun second = replay(args, true);
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

TEST(ReplayConsole, PrintsTheProgramsLinesInOrderThenTheSummary) {
  const ReplayRun run = replay({"--deterministic", "--frames", "3"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.canvasCount, 3);
  const std::vector<std::string> out = consoleLines(run.out);
  ASSERT_GE(out.size(), 5u) << run.out;
  EXPECT_EQ(out[0], "Generati 30202 senzori.");
  EXPECT_EQ(out[1], "Demo C++ cu camera si model neuronal (Konio + TRN)");
  EXPECT_EQ(out[2], "Taste: 'r' - reseteaza centrul, ESC - iesire");
  EXPECT_EQ(out[3], "");
  EXPECT_EQ(out[4], "Summary: 3 frames, model stepped (deterministic)");
}

TEST(ReplayOptionsParsing, RejectsEachBadOptionWithOneLineOfMessage) {
  const std::vector<std::vector<std::string>> bad{
      {"--fast"},
      {"--frames", "0"},
      {"--frames", "-3"},
      {"--frames", "abc"},
      {"--frames", "12x"},
      {"--frames"},
      {"--snapshot", "shot.png"},
      {"--snapshot", "5:"},
      {"--snapshot", "0:shot.png"},
      {"--snapshot", "5:shot.jpg"},
      {"--out", "run.mp4"},
      {"--out", "run.avi.txt"},
      {"--video", "a.avi", "--image", "b.png"},
      {"--camera", "0", "--video", "a.avi"},
      {"--size", "1280"},
      {"--frames", "10", "--snapshot", "11:shot.png"},
      {"--image", "b.png", "--snapshot", "301:shot.png"},  // an image runs 300 frames
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const std::string& arg : args)
      joined += arg + " ";
    const std::string error = parseReplayOptions(args).error;
    EXPECT_FALSE(error.empty()) << "accepted: " << joined;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }

  const ParsedOptions good =
      parseReplayOptions({"--video", "clip.mp4", "--frames", "12", "--snapshot", "12:last.PNG",
                          "--out", "run.AVI", "--headless", "--deterministic"});
  EXPECT_EQ(good.error, "");
  EXPECT_EQ(good.options.source, ReplaySource::video);
  EXPECT_EQ(good.options.inputPath, "clip.mp4");
  EXPECT_EQ(good.options.frames, 12);
  EXPECT_EQ(good.options.snapshotFrame, 12);
  EXPECT_EQ(good.options.snapshotPath, "last.PNG");
  EXPECT_EQ(good.options.outPath, "run.AVI");
  EXPECT_TRUE(good.options.headless && good.options.deterministic);
}

TEST_F(ReplayFiles, RecordsEveryFrameAtTheCanvasSize) {
  for (const std::string size : {"", "320x240"}) {
    SCOPED_TRACE(size.empty() ? "default size" : size);
    std::vector<std::string> args{"--frames", "20", "--out", path("run.avi")};
    if (!size.empty()) args.insert(args.end(), {"--size", size});
    const ReplayRun run = replay(args, true);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> out = consoleLines(run.out);
    EXPECT_NE(
        std::find(out.begin(), out.end(), "Summary: 20 frames, model on its worker thread (live)"),
        out.end())
        << run.out;
    EXPECT_EQ(run.canvasSize, size.empty() ? cv::Size(1280, 720) : cv::Size(320, 240));

    cv::VideoCapture video(path("run.avi"));
    ASSERT_TRUE(video.isOpened());
    int frames = 0;
    for (cv::Mat frame; video.read(frame) && !frame.empty(); ++frames) {
      EXPECT_EQ(frame.size(), run.canvasSize);
      // MJPG is lossy: about 21 dB at 320x240, 25 at 1280x720; a black picture, another frame
      // or swapped colour channels give 10 to 14.
      if (frame.size() == run.canvasSize && frames < 20) {
        EXPECT_GT(cv::PSNR(frame, run.canvases[frames]), 18.0) << "frame " << frames + 1;
      }
    }
    EXPECT_EQ(frames, 20);
  }
}

TEST_F(ReplayFiles, RefusesBadInputsAndOutputsWithOneLineAndLeavesNoFile) {
  std::ofstream(path("text.png")) << "not an image\n";
  fs::create_directory(path("folder.avi"));
  // A five-frame video, shorter than the snapshot asked of it below.
  ASSERT_EQ(replay({"--frames", "5", "--out", path("short.avi")}).status, 0);
  const std::set<std::string> before = files();

  const std::string missing = path("no/such");
  const std::vector<std::vector<std::string>> failing{
      {"--video", path("absent.avi"), "--out", path("run.avi")},
      {"--video", path("text.png"), "--snapshot", "1:" + path("shot.png")},
      {"--image", path("absent.jpg"), "--out", path("run.avi")},
      {"--image", path("text.png"), "--out", path("run.avi")},
      {"--frames", "5", "--out", missing + "/run.avi"},
      {"--frames", "5", "--snapshot", "5:" + missing + "/shot.png"},
      {"--frames", "5", "--out", path("run.avi"), "--snapshot", "5:" + missing + "/shot.png"},
      {"--frames", "5", "--snapshot", "5:" + path("shot.png"), "--out", missing + "/run.avi"},
      {"--frames", "5", "--out", path("folder.avi")},
      {"--video", path("short.avi"), "--out", path("run.avi"), "--snapshot",
       "10:" + path("shot.png")},
  };
  for (const auto& args : failing) {
    std::string joined;
    for (const std::string& arg : args)
      joined += arg + " ";
    SCOPED_TRACE(joined);
    const ReplayRun run = replay(args);
    EXPECT_EQ(run.status, kReplayUsageError);
    EXPECT_TRUE(oneLine(run.err)) << run.err;
    EXPECT_EQ(files(), before);
  }
}
