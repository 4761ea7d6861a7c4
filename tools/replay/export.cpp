#include "tools/replay/export.h"

#include <algorithm>
#include <utility>

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include "app/sampling.h"
#include "display/render.h"
#include "tools/replay/h5_file.h"
#include "tools/replay/version.h"

namespace {

// Rows per chunk: a frame pushes some 32000 events, and the writer hands the library whole
// chunks only (the rest at the end), so none is compressed twice or read back.
constexpr std::uint64_t kEventChunkRows = 65536;
constexpr std::uint64_t kFrameChunkRows = 1024;
constexpr std::uint64_t kRetinaChunkRows = 32768;

const std::vector<std::string> kColorClassNames{"albastru", "rosu", "verde", "alb_negru"};

// Gives `events` room for `count` events, mapped: the push log then writes into it without a page
// fault every 4 kB, which costs some 0.4 ms over a frame's megabyte. One madvise maps the pages
// at a fraction of that; where the kernel lacks it, they are touched one by one.
void reserveMapped(std::vector<RetinaEvent>& events, std::size_t count) {
  events.clear();  // written already: nothing to carry over
  events.reserve(count);
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(events.data());
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t last = (begin + events.capacity() * sizeof(RetinaEvent)) / page * page;
  if (last > first &&
      madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) != 0) {
    events.resize(count);
    events.clear();
  }
}

}  // namespace

// The file and every dataset in it. Created on the frame loop's thread before the run, then
// used by the writer thread only, then closed on the frame loop's thread after the writer has
// been joined: never two threads at once.
struct ExportDatasets {
  H5Id file;
  H5Id framesGroup, eventsGroup, konioEventsGroup, retinaGroup;

  H5Column<std::int32_t> frame;
  H5Column<double> t;
  H5Column<std::int32_t> foveaCx, foveaCy, frameTimeMs;
  H5Column<std::int64_t> eventsPushed, displacedTotal, batchesTotal, queueSize;

  H5Column<std::int32_t> eventFrame;
  H5Column<double> eventTime;
  H5Column<std::int32_t> eventSrc, eventDst;
  H5Column<std::uint8_t> eventKind;
  H5Column<float> eventWeight;

  H5Column<std::int32_t> konioFrame;
  H5Column<double> konioTime;
  H5Column<std::int32_t> konioUnit;
  H5Column<float> konioWeight;

  H5Table gains, konio;  // frames x sensors; created with the retina, whose size they need
  bool retinaWritten = false;
  std::size_t sensors = 0;  // the width of /gains and /konio

  bool create(const std::string& path) {
    file = H5Id(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
    if (!file.valid()) return false;
    const hid_t f = file.get();
    framesGroup = H5Id(H5Gcreate2(f, "frames", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    eventsGroup = H5Id(H5Gcreate2(f, "events", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    konioEventsGroup = H5Id(H5Gcreate2(f, "konio_events", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    retinaGroup = H5Id(H5Gcreate2(f, "retina", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    if (!framesGroup.valid() || !eventsGroup.valid() || !konioEventsGroup.valid() ||
        !retinaGroup.valid()) {
      return false;
    }
    const hid_t fr = framesGroup.get(), ev = eventsGroup.get(), ko = konioEventsGroup.get();
    return frame.create(fr, "frame", kFrameChunkRows) && t.create(fr, "t", kFrameChunkRows, "s") &&
           foveaCx.create(fr, "fovea_cx", kFrameChunkRows, "pixels") &&
           foveaCy.create(fr, "fovea_cy", kFrameChunkRows, "pixels") &&
           frameTimeMs.create(fr, "frame_time_ms", kFrameChunkRows, "ms") &&
           eventsPushed.create(fr, "events_pushed", kFrameChunkRows) &&
           displacedTotal.create(fr, "displaced_total", kFrameChunkRows) &&
           batchesTotal.create(fr, "batches_total", kFrameChunkRows) &&
           queueSize.create(fr, "queue_size", kFrameChunkRows) &&
           eventFrame.create(ev, "frame", kEventChunkRows) &&
           eventTime.create(ev, "t", kEventChunkRows, "s") &&
           eventSrc.create(ev, "src", kEventChunkRows) &&
           eventDst.create(ev, "dst", kEventChunkRows) &&
           eventKind.create(ev, "kind", kEventChunkRows) &&
           eventWeight.create(ev, "weight", kEventChunkRows) &&
           konioFrame.create(ko, "frame", kEventChunkRows) &&
           konioTime.create(ko, "t", kEventChunkRows, "s") &&
           konioUnit.create(ko, "unit", kEventChunkRows) &&
           konioWeight.create(ko, "weight", kEventChunkRows);
  }

  // Calls `f` on every column, whatever its element type; true when every call returned true.
  // Every column is visited even after a failure, so that each one is closed.
  template <class F>
  bool forEachColumn(F&& f) {
    bool ok = true;
    auto visit = [&](auto&... columns) { ((ok = f(columns) && ok), ...); };
    visit(frame, t, foveaCx, foveaCy, frameTimeMs, eventsPushed, displacedTotal, batchesTotal,
          queueSize, eventFrame, eventTime, eventSrc, eventDst, eventKind, eventWeight, konioFrame,
          konioTime, konioUnit, konioWeight);
    return ok;
  }

  bool flush() {
    return forEachColumn([](auto& column) { return column.flush(); });
  }

  // Closes every dataset and group, then the file; false when any of it failed, typically the
  // last writes on a full disk.
  bool close() {
    bool ok = forEachColumn([](auto& column) { return column.close(); });
    ok = gains.close() && ok;
    ok = konio.close() && ok;
    for (H5Id* group : {&framesGroup, &eventsGroup, &konioEventsGroup, &retinaGroup})
      ok = group->reset() && ok;
    if (file.valid() && H5Fflush(file.get(), H5F_SCOPE_LOCAL) < 0) ok = false;
    return file.reset() && ok;
  }
};

Hdf5Export::Hdf5Export() = default;

Hdf5Export::~Hdf5Export() {
  discard();
}

std::string Hdf5Export::create(const std::string& path, bool withGains) {
  target_ = path;
  std::string problem = file_.create(path);
  if (!problem.empty()) return "cannot write '" + path + "': " + problem;
  // A file whose last writes failed (a full disk) stays open inside the library whatever H5Fclose
  // says, and the library's exit handler then crashes closing it again. The process's exit
  // closes the descriptor anyway. Only takes effect before the library's first use.
  H5dont_atexit();
  errorCatch_ = std::make_unique<H5ErrorCatch>(h5Failure_);
  withGains_ = withGains;
  data_ = std::make_unique<ExportDatasets>();
  if (!data_->create(file_.tempPath())) {
    problem = "cannot write '" + path + "': " + takeH5Error(h5Failure_);
    discard();
  }
  return problem;
}

void Hdf5Export::start(const ExportRunInfo& info, EventQueue& queue) {
  const hid_t root = data_->file.get();
  const bool ok =
      writeH5Attribute(root, "tool", std::string(kReplayToolName)) &&
      writeH5Attribute(root, "version", std::string(kReplayVersion)) &&
      writeH5Attribute(root, "command_line", info.commandLine) &&
      writeH5Attribute(root, "input", info.input) &&
      writeH5Attribute(root, "deterministic", static_cast<std::uint8_t>(info.deterministic)) &&
      writeH5Attribute(root, "sensor_count", info.sensorCount) &&
      writeH5Attribute(root, "queue_bound", static_cast<std::int64_t>(kEventQueueLimit)) &&
      writeH5Attribute(root, "emission_threshold", kEmitThreshold) &&
      writeH5Attribute(root, "start_time", info.startTime);
  if (!ok) {
    error_ = "cannot write '" + target_ + "': " + takeH5Error(h5Failure_);
    return;
  }
  queue_ = &queue;
  queue.setPushLog(&pushLog_);
  settle_ = !info.deterministic;
  writer_ = std::thread(&Hdf5Export::writerLoop, this);
  if (!info.deterministic) {
    // Should the system refuse, the writer competes as an ordinary thread: slower runs, same file.
    sched_param idle{};
    pthread_setschedparam(writer_.native_handle(), SCHED_IDLE, &idle);
  }
}

bool Hdf5Export::roomForAnotherFrame() const {
  return framesInFlight_ < 2 || framesInFlight_ * frameBytes_ < kMaxQueuedBytes;
}

bool Hdf5Export::needsWarmFrame() const {
  return !closing_ && expectedEvents_ > 0 && spare_.size() < kWarmFrames && roomForAnotherFrame();
}

// A frame whose storage is allocated and mapped here, on the writer thread, for the frame loop's
// push log to continue in while the writer runs behind.
void Hdf5Export::addWarmFrame(std::size_t events) {
  auto frame = std::make_unique<ExportFrame>();
  reserveMapped(frame->events, events);
  std::lock_guard<std::mutex> lock(mutex_);
  spare_.push_back(std::move(frame));
}

bool Hdf5Export::add(const Session& session, const FrameResult& result, std::int64_t frameNumber,
                     const EventQueueStats& queueStats) {
  std::unique_ptr<ExportFrame> frame;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!writer_.joinable()) return false;
    if (spare_.empty() && !roomForAnotherFrame()) {
      frameWritten_.wait(lock, [this] { return !spare_.empty() || !error_.empty(); });
    }
    if (!error_.empty()) return false;
    if (spare_.empty()) {
      frame = std::make_unique<ExportFrame>();
      ++framesInFlight_;
    } else {
      frame = std::move(spare_.back());
      spare_.pop_back();
    }
  }

  frame->hasRow = true;
  frame->frame = static_cast<std::int32_t>(frameNumber);
  frame->t = result.captureTime;
  frame->foveaCx = result.center.cx;
  frame->foveaCy = result.center.cy;
  frame->frameTimeMs = result.frameTimeMs;
  frame->eventsPushed = static_cast<std::int64_t>(result.eventsPushed);
  frame->displacedTotal = static_cast<std::int64_t>(queueStats.displaced);
  frame->batchesTotal = static_cast<std::int64_t>(queueStats.batches);
  frame->queueSize = static_cast<std::int64_t>(queueStats.size);
  // Swaps: the log continues in the frame's old storage, so neither side allocates once the
  // frames in flight have grown to the usual size. Room for the log is made here, outside the
  // queue mutex, rather than by the log's growth under it.
  if (frame->events.capacity() < expectedEvents_) reserveMapped(frame->events, expectedEvents_);
  queue_->takePushLog(frame->events);
  const FrameLoopState& state = session.state();
  if (withGains_) {
    frame->gains.assign(state.gainSnapshot.begin(), state.gainSnapshot.end());
    frame->konio.assign(state.konioSnapshot.begin(), state.konioSnapshot.end());
  }
  if (lastFrame_ == 0) {
    frame->retina = std::make_unique<ExportRetina>(ExportRetina{
        session.retina().sensors, state.offsets, state.retinaScale, state.frame.size()});
  }
  lastFrame_ = frameNumber;

  {
    std::lock_guard<std::mutex> lock(mutex_);
    expectedEvents_ = std::max(expectedEvents_, frame->events.size() + frame->events.size() / 4);
    frameBytes_ = frame->events.capacity() * sizeof(RetinaEvent) +
                  (frame->gains.capacity() + frame->konio.capacity()) * sizeof(float);
    frame->queuedAt = std::chrono::steady_clock::now();
    queued_.push_back(std::move(frame));
  }
  frameQueued_.notify_one();
  return true;
}

void Hdf5Export::writerLoop() {
  const H5ErrorCatch errorCatch(h5Failure_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    frameQueued_.wait(lock, [this] { return !queued_.empty() || closing_ || needsWarmFrame(); });
    // Spare frames first: the frame loop must never take fresh memory, the writer can wait.
    if (needsWarmFrame()) {
      ++framesInFlight_;
      const std::size_t events = expectedEvents_;
      lock.unlock();
      addWarmFrame(events);
      lock.lock();
      continue;
    }
    if (queued_.empty()) return;
    if (settle_ && !closing_) {
      const auto due = queued_.front()->queuedAt + kWriteSettle;
      if (frameQueued_.wait_until(lock, due, [this] { return closing_; })) continue;
    }
    std::unique_ptr<ExportFrame> frame = std::move(queued_.front());
    queued_.pop_front();
    // After a failure the frames are only handed back, so that the frame loop never waits.
    const bool writing = error_.empty();
    lock.unlock();
    std::string problem;
    if (writing && !write(*frame)) problem = takeH5Error(h5Failure_);
    frame->retina.reset();
    lock.lock();
    if (!problem.empty() && error_.empty()) {
      error_ = "cannot write '" + target_ + "': " + problem;
    }
    spare_.push_back(std::move(frame));
    frameWritten_.notify_one();
  }
}

bool Hdf5Export::writeRetina(const ExportRetina& retina) {
  ExportDatasets& d = *data_;
  const hid_t group = d.retinaGroup.get();
  const std::uint64_t n = retina.sensors.size();
  H5Column<std::int32_t> index, x, y, radius, px, py;
  H5Column<std::uint8_t> colorClass, isSpiral, isPrime;
  bool ok = index.create(group, "index", kRetinaChunkRows) &&
            x.create(group, "x", kRetinaChunkRows, "retina units") &&
            y.create(group, "y", kRetinaChunkRows, "retina units") &&
            colorClass.create(group, "color_class", kRetinaChunkRows) &&
            writeH5Attribute(colorClass.id(), "value_names", kColorClassNames) &&
            isSpiral.create(group, "is_spiral", kRetinaChunkRows) &&
            isPrime.create(group, "is_prime", kRetinaChunkRows) &&
            radius.create(group, "radius", kRetinaChunkRows, "pixels") &&
            px.create(group, "px", kRetinaChunkRows, "pixels") &&
            py.create(group, "py", kRetinaChunkRows, "pixels") &&
            writeH5Attribute(group, "retina_scale", retina.retinaScale) &&
            writeH5Attribute(d.file.get(), "frame_width",
                             static_cast<std::int64_t>(retina.frameSize.width)) &&
            writeH5Attribute(d.file.get(), "frame_height",
                             static_cast<std::int64_t>(retina.frameSize.height));
  for (std::size_t i = 0; ok && i < n; ++i) {
    const Sensor& s = retina.sensors[i];
    ok = index.push(s.index) && x.push(s.x) && y.push(s.y) &&
         colorClass.push(static_cast<std::uint8_t>(s.colorClass)) && isSpiral.push(s.isSpiral) &&
         isPrime.push(s.isPrime) && radius.push(discRadius(s)) &&
         px.push(i < retina.offsets.size() ? retina.offsets[i].x : 0) &&
         py.push(i < retina.offsets.size() ? retina.offsets[i].y : 0);
  }
  for (H5Column<std::int32_t>* c : {&index, &x, &y, &radius, &px, &py})
    ok = ok && c->flush() && c->close();
  for (H5Column<std::uint8_t>* c : {&colorClass, &isSpiral, &isPrime})
    ok = ok && c->flush() && c->close();
  if (ok && withGains_) {
    ok = d.gains.create(d.file.get(), "gains", H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, sizeof(float), n,
                        1, {}) &&
         d.konio.create(d.file.get(), "konio", H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, sizeof(float), n,
                        1, {});
  }
  d.retinaWritten = ok;
  d.sensors = n;
  return ok;
}

bool Hdf5Export::write(ExportFrame& f) {
  ExportDatasets& d = *data_;
  if (f.retina && !writeRetina(*f.retina)) return false;
  bool ok = true;
  if (f.hasRow) {
    ok = d.frame.push(f.frame) && d.t.push(f.t) && d.foveaCx.push(f.foveaCx) &&
         d.foveaCy.push(f.foveaCy) && d.frameTimeMs.push(f.frameTimeMs) &&
         d.eventsPushed.push(f.eventsPushed) && d.displacedTotal.push(f.displacedTotal) &&
         d.batchesTotal.push(f.batchesTotal) && d.queueSize.push(f.queueSize);
  }
  for (const RetinaEvent& e : f.events) {
    if (!ok) break;
    if (e.kind == EventKind::KonioOutput) {
      ok = d.konioFrame.push(f.frame) && d.konioTime.push(e.time) && d.konioUnit.push(e.src) &&
           d.konioWeight.push(e.weight);
    } else {
      ok = d.eventFrame.push(f.frame) && d.eventTime.push(e.time) && d.eventSrc.push(e.src) &&
           d.eventDst.push(e.dst) &&
           d.eventKind.push(static_cast<std::uint8_t>(static_cast<std::int32_t>(e.kind))) &&
           d.eventWeight.push(e.weight);
    }
  }
  if (ok && withGains_ && f.hasRow) {
    ok = d.retinaWritten && f.gains.size() == d.sensors && f.konio.size() == d.sensors &&
         d.gains.append(f.gains.data(), 1) && d.konio.append(f.konio.data(), 1);
  }
  return ok;
}

void Hdf5Export::stopWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  frameQueued_.notify_one();
  if (writer_.joinable()) writer_.join();
}

void Hdf5Export::setInputEndedEarly(std::int64_t frame, const std::string& cause) {
  inputEndedEarlyFrame_ = frame;
  inputEndedEarlyCause_ = cause;
}

// Lets the writer work through what is queued, without the settling pause, and reports what is
// left; an error hands the rest back at once.
void Hdf5Export::waitForWriter(const std::function<void(std::size_t)>& waiting) {
  std::unique_lock<std::mutex> lock(mutex_);
  closing_ = true;
  frameQueued_.notify_one();
  if (!waiting) return;
  while (!queued_.empty() && writer_.joinable()) {
    if (frameWritten_.wait_for(lock, kWaitReport, [this] { return queued_.empty(); })) break;
    const std::size_t left = queued_.size();
    lock.unlock();
    waiting(left);
    lock.lock();
  }
}

std::string Hdf5Export::finish(const std::function<void(std::size_t)>& waiting) {
  if (!pushLog_.empty()) {
    auto tail = std::make_unique<ExportFrame>();
    tail->hasRow = false;
    tail->frame = static_cast<std::int32_t>(lastFrame_ + 1);
    tail->events.swap(pushLog_);
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back(std::move(tail));
  }
  waitForWriter(waiting);
  stopWriter();
  std::string problem = error();
  if (problem.empty() && !writeEndAttributes()) {
    problem = "cannot write '" + target_ + "': " + takeH5Error(h5Failure_);
  }
  if (problem.empty()) problem = closeFile();
  if (!problem.empty()) discard();
  data_.reset();
  errorCatch_.reset();
  return problem;
}

// Root attributes known only at the end of the run.
bool Hdf5Export::writeEndAttributes() {
  if (inputEndedEarlyFrame_ == 0 || !data_ || !data_->file.valid()) return true;
  const hid_t root = data_->file.get();
  return writeH5Attribute(root, "input_ended_early", inputEndedEarlyFrame_) &&
         writeH5Attribute(root, "input_ended_early_cause", inputEndedEarlyCause_);
}

std::string Hdf5Export::commit() {
  const std::string problem = file_.commit();
  return problem.empty() ? problem : "cannot write '" + target_ + "': " + problem;
}

std::string Hdf5Export::closeFile() {
  ExportDatasets& d = *data_;
  bool ok = d.flush();
  if (!d.retinaWritten) {
    ok = ok && writeH5Attribute(d.file.get(), "frame_width", std::int64_t{0}) &&
         writeH5Attribute(d.file.get(), "frame_height", std::int64_t{0});
  }
  ok = d.close() && ok;
  return ok ? std::string() : "cannot write '" + target_ + "': " + takeH5Error(h5Failure_);
}

void Hdf5Export::discard() {
  stopWriter();
  if (data_) {
    data_->close();
    data_.reset();
  }
  errorCatch_.reset();
  h5Failure_.clear();
  file_.abandon();
}

std::string Hdf5Export::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}
