// retina-replay: the demo's frame loop on a video, an image, a camera or a synthetic scene, in
// a window or headless, with recording, a deterministic mode and a timing summary.
#include <iostream>
#include <string>
#include <vector>

#include "tools/replay/replay.h"

int main(int argc, char** argv) {
  const ParsedOptions parsed = parseReplayOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::cerr << "retina-replay: " << parsed.error << "\n";
    return kReplayUsageError;
  }
  return runReplay(parsed.options, std::cout, std::cerr);
}
