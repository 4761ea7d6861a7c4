#include "session/console_lines.h"

#include <ostream>

void printBanner(std::ostream& out, std::size_t sensorCount, bool keys) {
  out << "Generati " << sensorCount << " senzori.\n";
  out << "Demo C++ cu camera si model neuronal (Konio + TRN)\n";
  if (keys) out << "Taste: 'r' - reseteaza centrul, ESC - iesire\n";
}

void printLatency(std::ostream& out, std::int32_t frameTimeMs) {
  out << "[Latency] Frame processing: " << frameTimeMs << " ms\n";
}
