#include "run/resident_memory.h"

#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

double residentMemoryMib() {
  std::ifstream statm("/proc/self/statm");
  long long size = 0, resident = 0;
  if (!(statm >> size >> resident)) return -1.0;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

double peakResidentMemoryMib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      std::istringstream fields(line.substr(6));
      double kb = 0.0;
      if (fields >> kb) return kb / 1024.0;
    }
  }
  return -1.0;
}
