// For the script tests: prints "HEADER DECODED", the frame count a video's header gives and the
// number of frames that actually decode; exits 1 when the file does not open as a video.
#include <iostream>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: video_frames FILE\n";
    return 2;
  }
  cv::VideoCapture video(argv[1]);
  if (!video.isOpened()) return 1;
  const auto header = static_cast<long long>(video.get(cv::CAP_PROP_FRAME_COUNT));
  long long decoded = 0;
  for (cv::Mat frame; video.read(frame) && !frame.empty();)
    ++decoded;
  std::cout << header << " " << decoded << "\n";
  return 0;
}
