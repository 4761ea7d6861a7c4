#pragma once

// --export FILE.h5: everything a run's retina did, as one HDF5 file (its layout:
// docs/export-format.md). A frame's rows are written by a writer thread beside the frame loop,
// or, for a run that should keep to one thread, by the frame loop's own thread right after the
// frame (ExportWriter); the file is the same, value for value. What the export costs, and why
// the writer is as it is: docs/performance.md.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "model/event_queue.h"
#include "safe_output/atomic_file.h"
#include "session/parameters.h"
#include "session/session.h"  // FrameResult, RetinaPlacement

// Where a run's data came from and what it ran with, as the data files record it.
struct RunProvenance {
  Parameters parameters;
  std::string configFile;              // --config, absolute; empty: none
  std::string foveaControl = "model";  // "model", "fixed" or "path FILE"
  std::string inputPath;               // absolute; empty for the synthetic scene and a camera
  std::int64_t inputBytes = -1;        // the input file's size; -1 when the input is not one file
  double inputFrameRate = 0.0;         // frames per second: the source's own rate
};

// What the file's root attributes say about the run, besides what the first frame fixes.
struct ExportRunInfo {
  std::string tool;  // the program that writes the file, and its version
  std::string version;
  std::string commandLine;
  std::string input;  // the input's path, "synthetic" or "camera N"
  bool deterministic = false;
  std::int64_t sensorCount = 0;
  std::string startTime;  // ISO 8601, UTC
  RunProvenance provenance{};
};

// How the run ended, known only once it has: the file's last root attributes.
struct ExportEnd {
  std::string reason;      // "input ended", "frame limit", "key", "window closed", "signal", ...
  bool completed = false;  // the run went through its whole input or frame limit
};

// Where a frame's rows are compressed and written.
enum class ExportWriter {
  thread,  // a writer thread beside the frame loop: the shortest wall time for one run
  caller,  // the thread that adds the frame, right after it: one thread a run, as a batch of
           // runs on one-threaded workers wants
};

class Hdf5Export {
 public:
  Hdf5Export();
  ~Hdf5Export();  // stops the writer thread; a file that was not finished is discarded
  Hdf5Export(const Hdf5Export&) = delete;
  Hdf5Export& operator=(const Hdf5Export&) = delete;

  // Before the run: stages the file beside `path` (see AtomicFile for what is refused) and
  // creates its groups and datasets. Returns an empty string or the message.
  std::string create(const std::string& path, bool withGains);

  // Once the session exists and before its first frame: writes the root attributes (the run's
  // provenance and its parameters) and every dataset's description and, for
  // ExportWriter::thread, starts the writer thread. A non-zero `*stopSignal` (the run's stop
  // flag, set by a signal handler; may be null) ends add()'s wait for a written frame.
  void start(const ExportRunInfo& info, ExportWriter writer,
             const volatile std::sig_atomic_t* stopSignal = nullptr);

  // After a drawn frame, on the frame loop's thread: takes the frame's `events` (swapped out of
  // the session with Session::takeFrameEvents; `events` gets storage for a later frame's), the
  // snapshots and, on the first frame, the placement. ExportWriter::thread hands them to the
  // writer, waiting while kFramesInFlight frames are still unwritten (once a stop has come it
  // takes one frame more instead, so that the stop is not held up by a writer that the machine
  // starves); ExportWriter::caller writes them here. An empty string, or the message once writing
  // failed.
  std::string add(const FrameResult& result, const RetinaPlacement& placement,
                  std::int64_t frameNumber, std::vector<RetinaEvent>& events);

  // Before finish: the input ended at `frame` (1 = the first), before its known end, for
  // `cause`; finish records it in the root attributes.
  void setInputEndedEarly(std::int64_t frame, const std::string& cause);

  // After the loop, once the session has stopped (its worker joined): writes the events pushed
  // after the last frame (Session::takeEventsAfterLastFrame), waits for the writer, calling
  // `waiting` with the frames still unwritten every kWaitReport meanwhile, records how the run
  // ended (and, live, the wall-clock time of the first frame) and closes the file. Returns an
  // empty string or the message (the file is then discarded).
  std::string finish(const ExportEnd& end, std::vector<RetinaEvent> eventsAfterLastFrame,
                     const std::function<void(std::size_t framesLeft)>& waiting = {});

  // After finish: renames the file into place. An empty string or the message.
  std::string commit();

  // Stops the writer and removes the temporary file.
  void discard();

  // Frames between the frame loop and the writer thread, each with its storage kept for a later
  // frame: the export's memory besides its columns' chunks does not grow past these.
  static constexpr std::size_t kFramesInFlight = 4;
  // How often add()'s wait looks at the stop flag.
  static constexpr std::chrono::milliseconds kStopCheck{50};
  // How often finish() reports the frames still to write.
  static constexpr std::chrono::milliseconds kWaitReport{250};

 private:
  struct Writer;  // the open file, its frames in flight and the writer thread (export.cpp)

  std::string target_;
  AtomicFile file_;
  std::unique_ptr<Writer> writer_;  // from create to finish or discard
};
