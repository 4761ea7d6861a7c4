#pragma once

// The tool's name and version as its exports record them.
constexpr char kReplayToolName[] = "retina-replay";
constexpr char kReplayVersion[] = "0.1.0";
