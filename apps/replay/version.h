#pragma once

// The tool's name and version (the project's, set in the top-level CMakeLists.txt), as --version
// prints them and its exports record them.
constexpr char kReplayToolName[] = "retina-replay";
constexpr char kReplayVersion[] = RETINA_VERSION;
