#pragma once

// --export FILE.h5: everything a run's retina did, as one HDF5 file (layout in README.md,
// "Getting the data out"). The frame loop hands each frame's rows over without copying the
// events (the push log is swapped); a writer thread converts, compresses and writes them, or,
// for a run that should keep to one thread, the frame loop's own thread does right after the
// frame (ExportWriter): the file is the same, value for value.
//
// Compressing a frame's events takes the writer longer than the frame loop takes for the frame
// (deflate, on one core), so the writer runs behind and the frames wait in memory, up to
// kMaxQueuedBytes; only past that does the frame loop wait for it. Live, the writer runs at the
// idle scheduling class, so that it takes only CPU time that neither the frame loop nor the model
// worker wants, and it leaves each frame alone for kWriteSettle after it was queued: writing at
// once, while the worker was still working through the frame's events and the window was being
// painted, cost the worker batches and displaced more events, idle class or not. Whatever is
// still queued when the loop ends is written by finish(), without the pause. The figures are in
// README.md, "What it costs".

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

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

// The retina as the first frame placed it, for /retina.
struct ExportRetina {
  std::vector<Sensor> sensors;
  SensorOffsets offsets;
  float retinaScale = 1.0f;
  cv::Size frameSize;
};

// One frame's rows on their way from the frame loop to the writer thread.
struct ExportFrame {
  bool hasRow = true;  // false: only events pushed after the last frame, before the stop
  std::int32_t frame = 0;
  double t = 0.0;
  std::int32_t foveaCx = 0;
  std::int32_t foveaCy = 0;
  std::int32_t frameTimeMs = 0;
  std::int64_t eventsPushed = 0;
  std::int64_t displacedTotal = 0;
  std::int64_t batchesTotal = 0;
  std::int64_t queueSize = 0;
  std::int32_t sampledCx = 0;  // the centre the frame's events were sampled around
  std::int32_t sampledCy = 0;
  std::vector<RetinaEvent> events;       // the push log since the previous frame, in push order
  std::vector<float> gains;              // --export-gains only
  std::vector<float> konio;              // --export-gains only
  std::unique_ptr<ExportRetina> retina;  // the first frame only
  std::chrono::steady_clock::time_point queuedAt;
};

// Where a frame's rows are compressed and written.
enum class ExportWriter {
  thread,  // a writer thread beside the frame loop: the shortest wall time for one run
  caller,  // the thread that adds the frame, right after it: one thread a run, as a batch of
           // runs on one-threaded workers wants
};

struct ExportDatasets;
class H5ErrorCatch;

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
  // provenance and its parameters, under /parameters) and every dataset's description and
  // units and, for ExportWriter::thread, starts the writer thread (at the idle scheduling class
  // and with the kWriteSettle pause unless `info.deterministic`: there the writer has a core to
  // itself and should keep pace).
  void start(const ExportRunInfo& info, ExportWriter writer);

  // After a drawn frame, on the frame loop's thread: takes the frame's `events` (swapped out of
  // the session with Session::takeFrameEvents; `events` gets storage for a later frame's) and
  // the snapshots and queues the frame for the writer thread (with the placement, on the first
  // frame), waiting only when the queued frames fill kMaxQueuedBytes; or, for
  // ExportWriter::caller, writes it here. An empty string, or the message once writing failed.
  std::string add(const FrameResult& result, const RetinaPlacement& placement,
                  std::int64_t frameNumber, std::vector<RetinaEvent>& events);

  // Before finish: the input ended at `frame` (1 = the first), before its known end, for
  // `cause`; finish records it in the root attributes.
  void setInputEndedEarly(std::int64_t frame, const std::string& cause);

  // After the loop, once the session has stopped (its worker joined): writes the events pushed
  // after the last frame (Session::takeEventsAfterLastFrame), waits for the writer, calling
  // `waiting` with the frames still queued every kWaitReport meanwhile, records how the run ended
  // (and, live, the wall-clock time of the first frame) and closes the file. Returns an empty
  // string or the message (the file is then discarded).
  std::string finish(const ExportEnd& end, std::vector<RetinaEvent> eventsAfterLastFrame,
                     const std::function<void(std::size_t framesLeft)>& waiting = {});

  // After finish: renames the file into place. An empty string or the message.
  std::string commit();

  // Stops the writer and removes the temporary file.
  void discard();

  // Memory for frames the writer has not written yet: some 600 frames of the program's retina.
  static constexpr std::size_t kMaxQueuedBytes = std::size_t{512} << 20;
  // Spare frames the writer keeps ready, touched, for the frame loop.
  static constexpr std::size_t kWarmFrames = 4;
  // Live, how long after a frame was queued the writer starts on it: past the frame's tail (the
  // model worker's last batches for its events, then the window painting the canvas), so that at
  // 30 frames per second the writing falls before the next frame's emission. A writer that runs
  // behind finds its frames older than this and does not pause.
  static constexpr std::chrono::milliseconds kWriteSettle{8};
  // How often finish() reports the frames still to write.
  static constexpr std::chrono::milliseconds kWaitReport{250};

 private:
  void writerLoop();
  std::unique_ptr<ExportFrame> frameForWriter();  // a spare or new frame; null after a failure
  void writeHere(ExportFrame& frame);             // ExportWriter::caller: writes it now
  bool roomForAnotherFrame() const;               // under mutex_
  bool needsWarmFrame() const;                    // under mutex_
  void addWarmFrame(std::size_t events);
  bool write(ExportFrame& frame);
  bool writeRetina(const ExportRetina& retina);
  void stopWriter();
  void waitForWriter(const std::function<void(std::size_t)>& waiting);
  bool writeEndAttributes();
  std::string closeFile(const ExportEnd& end);
  std::string error() const;  // the writer's first failure, or an empty string

  std::string target_;
  AtomicFile file_;
  std::string h5Failure_;  // the first failed HDF5 call's cause, from either thread in turn
  std::unique_ptr<H5ErrorCatch> errorCatch_;  // the frame loop's thread's, from create on
  std::unique_ptr<ExportDatasets> data_;
  bool withGains_ = false;
  bool writerThread_ = true;
  bool accepting_ = false;                 // from a successful start to finish or discard
  std::unique_ptr<ExportFrame> ownFrame_;  // ExportWriter::caller: the one frame, reused
  std::int64_t lastFrame_ = 0;
  bool live_ = false;  // a live run: wall-clock times; the writer pauses kWriteSettle a frame
  double firstFrameUnixTime_ = 0.0;        // live: the wall-clock time of the first frame's t
  std::int64_t inputEndedEarlyFrame_ = 0;  // 0: the input did not end early
  std::string inputEndedEarlyCause_;

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable frameQueued_;
  std::condition_variable frameWritten_;
  std::deque<std::unique_ptr<ExportFrame>> queued_;
  std::vector<std::unique_ptr<ExportFrame>> spare_;  // written frames, their storage kept
  std::size_t framesInFlight_ = 0;                   // allocated, queued or spare
  std::size_t frameBytes_ = 0;                       // the last frame's size
  std::size_t expectedEvents_ = 0;                   // room to give the next push log
  bool closing_ = false;
  std::string error_;
  std::thread writer_;
};
