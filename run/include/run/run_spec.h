#pragma once

// What a run is asked to do: the input, the parameters, who moves the fovea, how the model runs,
// and which files to write. Every front end (the command line, Python, the batch) fills one.

#include <cstdint>
#include <string>
#include <vector>

#include "frame_input/frame_input.h"
#include "session/fovea_path.h"
#include "session/parameters.h"

struct SnapshotSpec {
  std::int64_t frame = 0;  // 1 = the first frame drawn
  std::string path;        // PNG
};

struct RunSpec {
  InputRequest input;          // the frames and the frame limit (0: until the input ends)
  Parameters parameters;       // checked by the session (validateParameters)
  std::string configFile;      // the file the parameters were read from; empty: none
  FoveaControl fovea;          // the model's, fixed, or a path
  std::string foveaPathFile;   // the file the path was read from; empty: none
  bool deterministic = false;  // the stepped model on the 1/30 s frame clock; else live
  std::string commandLine;     // how the run was asked for, for the data files' record

  std::string recording;                // MJPG AVI of every canvas; empty: none
  std::vector<SnapshotSpec> snapshots;  // single canvases as PNG
  std::string exportFile;               // HDF5: the retina, every frame and event; empty: none
  bool exportGains = false;             // the export also holds every frame's gains and Konio
  std::string statsFile;                // CSV: a line per frame; empty: none
  // The export's rows are written on the thread that runs the frames, right after each frame,
  // rather than on a writer thread of their own (one thread a run, as a batch's workers want).
  bool exportOnRunThread = false;
};

// The parts of a run a refusal can name, each front end in its own words (the option on the
// command line, the keyword in Python).
enum class RunRole { input, configFile, foveaPathFile, recording, snapshot, exportFile, statsFile };
