#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>

// The programs' opening lines, in Romanian as the demo has always printed them: the sensor count,
// the title and, where a window takes keys, the key help.
void printBanner(std::ostream& out, std::size_t sensorCount, bool keys);

// The latency line, every 2 s or so (Session::latencyDue): a frame's time from its read to its
// fovea marker.
void printLatency(std::ostream& out, std::int32_t frameTimeMs);
