// A video's frames through FrameInput::readWithin, whose reads run on a thread of the input's
// own: the same frames, limit and early end as read(), and a stalled FIFO that answers "not yet"
// and lets the input close at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frame_input/frame_input.h"
#include "temp_dir.h"

namespace {

// A grey 160x120 MJPG clip with a disc that moves right; false where no writer opens.
bool writeClip(const std::string& path, int frames) {
  cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10.0,
                         cv::Size(160, 120));
  if (!writer.isOpened()) return false;
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame(120, 160, CV_8UC3, cv::Scalar(40, 40, 40));
    cv::circle(frame, {20 + 4 * i, 60}, 15, cv::Scalar(250, 250, 250), cv::FILLED);
    writer.write(frame);
  }
  return true;
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct ReadAll {
  std::vector<cv::Mat> frames;  // copies
  bool limitReached = false;
  std::string endedEarly;
};

ReadAll readAll(const std::string& path, std::int64_t limit, bool within) {
  FrameInput input;
  ReadAll all;
  const std::string problem = input.open({InputKind::video, path, 0, {}, limit});
  EXPECT_EQ(problem, "");
  if (!problem.empty()) return all;
  for (cv::Mat frame;;) {
    if (within) {
      while (!input.readWithin(frame, std::chrono::milliseconds(20))) {
      }
    } else {
      input.read(frame);
    }
    if (frame.empty()) break;
    all.frames.push_back(frame.clone());
  }
  all.limitReached = input.limitReached();
  all.endedEarly = input.endedEarly();
  input.close();
  return all;
}

class FrameInputThreaded : public TempDirTest {};

TEST_F(FrameInputThreaded, GivesTheFramesLimitAndEarlyEndThatReadGives) {
  if (!writeClip(path("whole.avi"), 12)) GTEST_SKIP() << "no MJPG writer in this OpenCV build";
  // The same clip cut short: its header still says 12 frames.
  const std::string whole = fileBytes(path("whole.avi"));
  std::ofstream(path("cut.avi"), std::ios::binary) << whole.substr(0, whole.size() / 2);
  const struct {
    const char* name;
    std::int64_t limit;
    std::size_t frames;  // 0: some, fewer than 12
    bool limitReached;
    bool endedEarly;
  } cases[] = {{"whole.avi", 0, 12, false, false},
               {"whole.avi", 5, 5, true, false},
               {"cut.avi", 0, 0, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", limit " + std::to_string(c.limit));
    const ReadAll plain = readAll(path(c.name), c.limit, false);
    const ReadAll threaded = readAll(path(c.name), c.limit, true);
    if (c.frames > 0) {
      EXPECT_EQ(threaded.frames.size(), c.frames);
    } else {
      EXPECT_TRUE(!threaded.frames.empty() && threaded.frames.size() < 12);
    }
    ASSERT_EQ(threaded.frames.size(), plain.frames.size());
    for (std::size_t i = 0; i < plain.frames.size(); ++i)
      EXPECT_EQ(cv::norm(threaded.frames[i], plain.frames[i], cv::NORM_INF), 0.0) << "frame " << i;
    EXPECT_EQ(threaded.limitReached, c.limitReached);
    EXPECT_EQ(!threaded.endedEarly.empty(), c.endedEarly) << threaded.endedEarly;
    EXPECT_EQ(threaded.endedEarly, plain.endedEarly);
  }
}

TEST_F(FrameInputThreaded, AStalledFifoAnswersNotYetAndClosesAtOnce) {
  if (!writeClip(path("clip.avi"), 40)) GTEST_SKIP() << "no MJPG writer in this OpenCV build";
  // Half the clip, as a file (whose end ends it) and through a FIFO whose writer stays.
  const std::string whole = fileBytes(path("clip.avi"));
  const std::string half = whole.substr(0, whole.size() / 2);
  std::ofstream(path("half.avi"), std::ios::binary) << half;
  const ReadAll expected = readAll(path("half.avi"), 0, false);
  ASSERT_TRUE(!expected.frames.empty() && expected.frames.size() < 40);

  ASSERT_EQ(mkfifo(path("fifo.avi").c_str(), 0600), 0);
  // Read and write at once: the open does not wait for a reader, and the FIFO keeps a writer
  // (this test) until the end, as a stalled stream does.
  const int writer = open(path("fifo.avi").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  std::thread sender([&] {
    for (std::size_t sent = 0; sent < half.size();) {
      const ssize_t n = write(writer, half.data() + sent, half.size() - sent);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  });
  {
    FrameInput input;
    ASSERT_EQ(input.open({InputKind::video, path("fifo.avi"), 0, {}, 0}), "");
    cv::Mat frame;
    // The demuxer may wait for the next chunk's header before it gives the last whole frame.
    std::size_t frames = 0;
    for (; frames + 1 < expected.frames.size(); ++frames) {
      // Well within 10 s, however loaded the machine.
      ASSERT_TRUE(input.readWithin(frame, std::chrono::seconds(10))) << "frame " << frames;
      ASSERT_FALSE(frame.empty()) << "the input ended while its writer holds it open";
      EXPECT_EQ(cv::norm(frame, expected.frames[frames], cv::NORM_INF), 0.0) << "frame " << frames;
    }
    if (input.readWithin(frame, std::chrono::seconds(2))) {
      ASSERT_FALSE(frame.empty()) << "the input ended while its writer holds it open";
      ++frames;
    }
    EXPECT_LE(frames, expected.frames.size());
    // The next frame is not all there: neither it nor the end can come.
    EXPECT_FALSE(input.readWithin(frame, std::chrono::milliseconds(200)));
    EXPECT_TRUE(frame.empty());
    // Returns while this test still holds the FIFO open: it leaves the read to its thread
    // rather than wait for the frame that never comes (waiting would hang the test here).
    input.close();
  }
  sender.join();
  close(writer);  // the left read sees the end, and its thread closes the capture
}

}  // namespace
