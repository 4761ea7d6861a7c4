#pragma once

// Where a run's data came from and what it ran with, as its data files record it.

#include <string>
#include <vector>

#include "datafiles/export.h"
#include "frame_input/frame_input.h"
#include "run/run_result.h"
#include "run/run_spec.h"

// The run's provenance: its parameters, files and input (absolute path, size, rate).
RunProvenance runProvenance(const RunSpec& runSpec, const FrameInput& input);

// The input as the export's root attribute names it: its path, "synthetic" or "camera N".
std::string inputText(const InputRequest& input);

// The CSV file's leading comment lines: what the HDF5 file's root attributes and /parameters
// record, one line each.
std::vector<std::string> provenanceComments(const RunSpec& runSpec, const RunProvenance& run,
                                            const std::string& startTime);

// Now, as ISO 8601 in UTC.
std::string utcNow();

// How the run ended, as the data files record it.
ExportEnd exportEnd(RunEnd end, int stopSignal);
