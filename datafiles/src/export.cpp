#include "datafiles/export.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include <pthread.h>
#include <sched.h>

#include "datafiles/h5_file.h"
#include "export_schema.h"
#include "model/model_worker.h"  // steadyNowSeconds

namespace {

// The retina as the first frame placed it, for /retina.
struct PlacedRetina {
  std::vector<Sensor> sensors;
  SensorOffsets offsets;
  float retinaScale = 1.0f;
  cv::Size frameSize;
};

// One frame's rows on their way to the file.
struct FrameRows {
  bool hasRow = true;  // false: only events pushed after the last frame, before the stop
  ExportFrameRow row;
  std::vector<RetinaEvent> events;       // the push log since the previous frame, in push order
  std::vector<float> gains;              // --export-gains only
  std::vector<float> konio;              // --export-gains only
  std::unique_ptr<PlacedRetina> retina;  // the first frame only
};

ExportFrameRow frameRow(const FrameResult& result, std::int64_t frameNumber) {
  ExportFrameRow row;
  row.frame = static_cast<std::int32_t>(frameNumber);
  row.t = result.captureTime;
  row.foveaCx = result.center.cx;
  row.foveaCy = result.center.cy;
  row.frameTimeMs = result.frameTimeMs;
  row.eventsPushed = static_cast<std::int64_t>(result.eventsPushed);
  row.displacedTotal = static_cast<std::int64_t>(result.queue.displaced);
  row.batchesTotal = static_cast<std::int64_t>(result.queue.batches);
  row.queueSize = static_cast<std::int64_t>(result.queue.size);
  row.sampledCx = result.sampledCenter.cx;
  row.sampledCy = result.sampledCenter.cy;
  return row;
}

// The wall-clock time, in seconds since the Unix epoch, of steady-clock time `steadySeconds`.
double unixTimeOf(double steadySeconds) {
  const double wallNow =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return wallNow - (steadyNowSeconds() - steadySeconds);
}

}  // namespace

// Everything from create to finish. The file is created and closed on the frame loop's thread;
// in between only one thread writes it: the writer thread, or the frame loop's for
// ExportWriter::caller.
struct Hdf5Export::Writer {
  explicit Writer(const std::string& target) : target(target) {}

  bool write(FrameRows& frame);
  void writeHere(FrameRows& frame);
  void loop();
  FrameRows* takeFreeFrame(bool atOnce = false);
  void queue(FrameRows* frame);
  void waitUntilWritten(const std::function<void(std::size_t)>& waiting);
  void stop();
  std::string closeFile(const ExportEnd& end);
  std::string failure();

  const std::string target;
  std::string h5Failure;  // the first failed HDF5 call's cause, from either thread in turn
  H5ErrorCatch errorCatch{h5Failure};  // the frame loop's thread's
  ExportFile file;
  bool withGains = false;
  bool live = false;       // wall-clock times; the writer thread runs at the idle class
  bool accepting = false;  // from a successful start to finish
  bool threaded = false;
  const volatile std::sig_atomic_t* stopSignal = nullptr;  // the run's stop flag, or null
  std::int64_t lastFrame = 0;
  double firstFrameUnixTime = 0.0;        // live: the wall-clock time of the first frame's t
  std::int64_t inputEndedEarlyFrame = 0;  // 0: the input did not end early
  std::string inputEndedEarlyCause;
  FrameRows own;  // ExportWriter::caller: the one frame, reused

  std::mutex mutex;  // guards everything below
  std::condition_variable frameQueued, frameWritten;
  // At most kFramesInFlight, one for the frame drawn when a stop came and one for the events
  // after the last frame; never freed.
  std::vector<std::unique_ptr<FrameRows>> frames;
  std::deque<FrameRows*> queued;  // in frame order
  std::vector<FrameRows*> spare;  // written, their storage kept
  bool closing = false;
  std::string error;
  std::thread thread;
};

bool Hdf5Export::Writer::write(FrameRows& f) {
  if (f.retina && !file.writeRetina(f.retina->sensors, f.retina->offsets, f.retina->retinaScale,
                                    f.retina->frameSize, withGains)) {
    return false;
  }
  bool ok = !f.hasRow || file.appendFrame(f.row);
  ok = ok && file.appendEvents(f.row.frame, f.events);
  if (ok && withGains && f.hasRow) ok = file.appendSnapshots(f.gains, f.konio);
  return ok;
}

void Hdf5Export::Writer::writeHere(FrameRows& frame) {
  const bool written = write(frame);
  frame.retina.reset();
  if (written) return;
  std::lock_guard<std::mutex> lock(mutex);
  if (error.empty()) error = cannotWrite(target, takeH5Error(h5Failure));
}

void Hdf5Export::Writer::loop() {
  const H5ErrorCatch threadErrors(h5Failure);
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    frameQueued.wait(lock, [this] { return !queued.empty() || closing; });
    if (queued.empty()) return;
    FrameRows* frame = queued.front();
    // After a failure the frames are only handed back, so that the frame loop never waits.
    const bool writing = error.empty();
    lock.unlock();
    std::string problem;
    try {
      if (writing && !write(*frame)) problem = takeH5Error(h5Failure);
    } catch (
        const std::bad_alloc&) {  // a memory limit (ulimit -v) fails the export, not the process
      problem = std::strerror(ENOMEM);
    }
    frame->retina.reset();
    lock.lock();
    if (!problem.empty() && error.empty()) error = cannotWrite(target, problem);
    queued.pop_front();
    spare.push_back(frame);
    frameWritten.notify_all();
  }
}

// A written or new frame for the frame loop to fill; null after a failure. `atOnce` (the events
// after the last frame, which are few) takes a frame beyond the pool rather than wait, so that
// finish() reports the frames left from the start; so does a stop, once (the run draws no frame
// after it).
FrameRows* Hdf5Export::Writer::takeFreeFrame(bool atOnce) {
  std::unique_lock<std::mutex> lock(mutex);
  const auto ready = [this] {
    return !spare.empty() || frames.size() < kFramesInFlight || !error.empty();
  };
  while (!atOnce && !frameWritten.wait_for(lock, kStopCheck, ready)) {
    if (stopSignal != nullptr && *stopSignal != 0) break;
  }
  if (!error.empty()) return nullptr;
  if (spare.empty()) {
    frames.push_back(std::make_unique<FrameRows>());
    return frames.back().get();
  }
  FrameRows* frame = spare.back();
  spare.pop_back();
  return frame;
}

void Hdf5Export::Writer::queue(FrameRows* frame) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    queued.push_back(frame);
  }
  frameQueued.notify_one();
}

// Reports every kWaitReport the frames still queued; an error hands the rest back at once.
void Hdf5Export::Writer::waitUntilWritten(const std::function<void(std::size_t)>& waiting) {
  std::unique_lock<std::mutex> lock(mutex);
  while (!queued.empty() && thread.joinable()) {
    if (frameWritten.wait_for(lock, kWaitReport, [this] { return queued.empty(); })) break;
    const std::size_t left = queued.size();
    lock.unlock();
    if (waiting) waiting(left);
    lock.lock();
  }
}

void Hdf5Export::Writer::stop() {
  accepting = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    closing = true;
  }
  frameQueued.notify_one();
  if (thread.joinable()) thread.join();
}

std::string Hdf5Export::Writer::closeFile(const ExportEnd& end) {
  const bool ended = inputEndedEarlyFrame == 0 ||
                     file.writeInputEndedEarly(inputEndedEarlyFrame, inputEndedEarlyCause);
  if (!ended) return cannotWrite(target, takeH5Error(h5Failure));
  const bool wallTime = live && lastFrame > 0;
  bool ok = file.writeEnd(end, wallTime ? &firstFrameUnixTime : nullptr);
  ok = file.close() && ok;
  return ok ? std::string() : cannotWrite(target, takeH5Error(h5Failure));
}

std::string Hdf5Export::Writer::failure() {
  std::lock_guard<std::mutex> lock(mutex);
  return error;
}

Hdf5Export::Hdf5Export() = default;

Hdf5Export::~Hdf5Export() {
  discard();
}

std::string Hdf5Export::create(const std::string& path, bool withGains) {
  target_ = path;
  std::string problem = file_.create(path);
  if (!problem.empty()) return cannotWrite(path, problem);
  // A file whose last writes failed (a full disk) stays open inside the library whatever H5Fclose
  // says, and the library's exit handler then crashes closing it again. The process's exit
  // closes the descriptor anyway. Only takes effect before the library's first use.
  H5dont_atexit();
  writer_ = std::make_unique<Writer>(path);
  writer_->withGains = withGains;
  if (!writer_->file.create(file_.tempPath())) {
    problem = cannotWrite(path, takeH5Error(writer_->h5Failure));
    discard();
  }
  return problem;
}

void Hdf5Export::start(const ExportRunInfo& info, ExportWriter writer,
                       const volatile std::sig_atomic_t* stopSignal) {
  Writer& w = *writer_;
  w.stopSignal = stopSignal;
  if (!w.file.writeRunAttributes(info, w.withGains)) {
    w.error = cannotWrite(target_, takeH5Error(w.h5Failure));
    return;
  }
  w.live = !info.deterministic;
  w.accepting = true;
  w.threaded = writer == ExportWriter::thread;
  if (!w.threaded) return;
  w.thread = std::thread(&Writer::loop, &w);
  if (w.live) {
    // Live, the frame loop and the model worker come first: the writer takes only the time they
    // leave (docs/performance.md). Should the system refuse, the writer competes as an ordinary
    // thread: the same file.
    sched_param idle{};
    pthread_setschedparam(w.thread.native_handle(), SCHED_IDLE, &idle);
  }
}

std::string Hdf5Export::add(const FrameResult& result, const RetinaPlacement& placement,
                            std::int64_t frameNumber, std::vector<RetinaEvent>& events) {
  if (!writer_) return cannotWrite(target_, "closed");
  Writer& w = *writer_;
  // Not started (start failed and said why), already finished, or failed.
  const std::string failure = w.failure();
  if (!w.accepting || !failure.empty()) {
    return failure.empty() ? cannotWrite(target_, "closed") : failure;
  }
  FrameRows* frame = w.threaded ? w.takeFreeFrame() : &w.own;
  if (frame == nullptr) return w.failure();

  frame->hasRow = true;
  frame->row = frameRow(result, frameNumber);
  // Swaps: the session's events continue in the frame's old storage, so neither side allocates
  // once the frames in flight have grown to the usual size.
  frame->events.swap(events);
  events.clear();
  if (w.withGains) {
    frame->gains.assign(result.gains->begin(), result.gains->end());
    frame->konio.assign(result.konio->begin(), result.konio->end());
  }
  if (w.lastFrame == 0) {
    frame->retina = std::make_unique<PlacedRetina>(PlacedRetina{
        *placement.sensors, *placement.offsets, placement.retinaScale, placement.frameSize});
    // t is steady-clock time.
    if (w.live) w.firstFrameUnixTime = unixTimeOf(result.captureTime);
  }
  w.lastFrame = frameNumber;
  if (!w.threaded) {
    w.writeHere(*frame);
    return w.failure();
  }
  w.queue(frame);
  return {};
}

void Hdf5Export::setInputEndedEarly(std::int64_t frame, const std::string& cause) {
  if (!writer_) return;
  writer_->inputEndedEarlyFrame = frame;
  writer_->inputEndedEarlyCause = cause;
}

std::string Hdf5Export::finish(const ExportEnd& end, std::vector<RetinaEvent> eventsAfterLastFrame,
                               const std::function<void(std::size_t)>& waiting) {
  if (!writer_) return cannotWrite(target_, "closed");
  Writer& w = *writer_;
  if (!eventsAfterLastFrame.empty() && w.accepting) {
    FrameRows* tail = w.threaded ? w.takeFreeFrame(true) : &w.own;
    if (tail != nullptr) {
      tail->hasRow = false;
      tail->row.frame = static_cast<std::int32_t>(w.lastFrame + 1);
      tail->events.swap(eventsAfterLastFrame);
      if (w.threaded) {
        w.queue(tail);
      } else if (w.failure().empty()) {
        w.writeHere(*tail);
      }
    }
  }
  w.waitUntilWritten(waiting);
  w.stop();
  std::string problem = w.failure();
  if (problem.empty()) problem = w.closeFile(end);
  if (!problem.empty()) {
    discard();
  } else {
    writer_.reset();
  }
  return problem;
}

std::string Hdf5Export::commit() {
  const std::string problem = file_.commit();
  return problem.empty() ? problem : cannotWrite(target_, problem);
}

void Hdf5Export::discard() {
  if (writer_) {
    writer_->stop();
    writer_->file.close();
    writer_.reset();
  }
  file_.abandon();
}
