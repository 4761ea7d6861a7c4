#pragma once

// Resident set size and its peak (VmHWM) of this process, in MiB; -1 where unavailable.
double residentMemoryMib();
double peakResidentMemoryMib();
