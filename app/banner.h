#pragma once

#include <cstddef>
#include <iosfwd>

// The programs' opening lines, in Romanian as the demo has always printed them: the sensor count,
// the title and, where a window takes keys, the key help.
void printBanner(std::ostream& out, std::size_t sensorCount, bool keys);
