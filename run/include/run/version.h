#pragma once

// The tool's name and version (the project's, set in the top-level CMakeLists.txt), as --version
// prints them and the data files record them.
constexpr char kReplayToolName[] = "retina-replay";
extern const char kReplayVersion[];
