#include "datafiles/export.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <utility>

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include "datafiles/h5_file.h"
#include "display/render.h"
#include "session/parameter_file.h"

namespace {

// Rows per chunk: a frame pushes some 32000 events, and the writer hands the library whole
// chunks only (the rest at the end), so none is compressed twice or read back.
constexpr std::uint64_t kEventChunkRows = 65536;
constexpr std::uint64_t kFrameChunkRows = 1024;
constexpr std::uint64_t kRetinaChunkRows = 32768;

const std::vector<std::string> kColorClassNames{"albastru", "rosu", "verde", "alb_negru"};
const std::vector<std::int64_t> kColorClassValues{0, 1, 2, 3};
// The kinds /events holds (Konio outputs have /konio_events of their own).
const std::vector<std::string> kEventKindNames{"photoreceptor", "konio_input", "frame_marker"};
const std::vector<std::int64_t> kEventKindValues{
    static_cast<std::int64_t>(EventKind::Photoreceptor),
    static_cast<std::int64_t>(EventKind::KonioInput),
    static_cast<std::int64_t>(EventKind::FrameMarker)};

// What /frames/t (and every time stamp, on the same clock) counts from.
const char* kFrameClockTime =
    "the frame's capture time, stamped on all its events: seconds on the frame clock, which "
    "starts at 0 and advances by 1/30 s at every frame read (frame 1 is at 1/30 s)";
const char* kSteadyClockTime =
    "the frame's capture time, stamped on all its events: seconds on the steady clock "
    "(CLOCK_MONOTONIC, counted from an arbitrary origin, on Linux the machine's boot); the root "
    "attribute first_frame_wall_time is the wall-clock time of the first frame's t";

// "2024-05-01T12:00:00.123456Z" for seconds since the Unix epoch.
std::string isoTime(double unixSeconds) {
  const double whole = std::floor(unixSeconds);
  const auto seconds = static_cast<std::time_t>(whole);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  const auto micros = static_cast<int>(std::lround((unixSeconds - whole) * 1e6) % 1000000);
  std::snprintf(text + length, sizeof text - length, ".%06dZ", micros);
  return text;
}

bool describe(hid_t dataset, const std::string& description) {
  return writeH5Attribute(dataset, "description", description);
}

// /parameters: every parameter as an attribute named "section.key" (whole numbers as 64-bit
// integers, reals as the single-precision value used), the whole parameter file as `toml`, and
// the keys that differ from their defaults as `non_default`.
bool writeParameters(hid_t file, const Parameters& parameters) {
  const H5Id group(H5Gcreate2(file, "parameters", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  if (!group.valid()) return false;
  bool ok = true;
  for (const ParameterKey& key : parameterKeys()) {
    const double value = parameterValue(parameters, key);
    ok = ok && (key.integer()
                    ? writeH5Attribute(group.get(), key.path(), static_cast<std::int64_t>(value))
                    : writeH5Attribute(group.get(), key.path(), static_cast<float>(value)));
  }
  std::string changed;
  for (const std::string& key : changedParameters(parameters))
    changed += (changed.empty() ? "" : " ") + key;
  return ok && writeH5Attribute(group.get(), "toml", parametersToToml(parameters)) &&
         writeH5Attribute(group.get(), "non_default", changed) &&
         describe(group.get(),
                  "the parameters of the run: one attribute per key of the parameter file, "
                  "the whole file as toml (retina-replay --config takes it back), and the keys "
                  "that differ from their defaults as non_default");
}

// Gives `events` room for `count` events, mapped: the push log then writes into it without a page
// fault every 4 kB (README.md gives what that costs a frame). One madvise maps the pages at a
// fraction of that; where the kernel lacks it, they are touched one by one.
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
  H5Column<std::int32_t> sampledCx, sampledCy;

  H5Column<std::int32_t> eventFrame;
  H5Column<double> eventTime;
  H5Column<std::int32_t> eventSrc, eventDst;
  H5Column<std::uint8_t> eventKind;
  H5Column<float> eventWeight;

  H5Column<std::int32_t> konioFrame;
  H5Column<double> konioTime;
  H5Column<std::int32_t> konioUnit;
  H5Column<float> konioWeight;

  H5Id gains, konio;  // frames x sensors; created with the retina, whose size they need
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
    return frame.create(fr, "frame", kFrameChunkRows, "1") &&
           t.create(fr, "t", kFrameChunkRows, "s") &&
           foveaCx.create(fr, "fovea_cx", kFrameChunkRows, "pixels") &&
           foveaCy.create(fr, "fovea_cy", kFrameChunkRows, "pixels") &&
           frameTimeMs.create(fr, "frame_time_ms", kFrameChunkRows, "ms") &&
           eventsPushed.create(fr, "events_pushed", kFrameChunkRows, "events") &&
           displacedTotal.create(fr, "displaced_total", kFrameChunkRows, "events") &&
           batchesTotal.create(fr, "batches_total", kFrameChunkRows, "batches") &&
           queueSize.create(fr, "queue_size", kFrameChunkRows, "events") &&
           sampledCx.create(fr, "sampled_cx", kFrameChunkRows, "pixels") &&
           sampledCy.create(fr, "sampled_cy", kFrameChunkRows, "pixels") &&
           eventFrame.create(ev, "frame", kEventChunkRows, "1") &&
           eventTime.create(ev, "t", kEventChunkRows, "s") &&
           eventSrc.create(ev, "src", kEventChunkRows, "1") &&
           eventDst.create(ev, "dst", kEventChunkRows, "1") &&
           eventKind.create(ev, "kind", kEventChunkRows) &&
           eventWeight.create(ev, "weight", kEventChunkRows, "1") &&
           konioFrame.create(ko, "frame", kEventChunkRows, "1") &&
           konioTime.create(ko, "t", kEventChunkRows, "s") &&
           konioUnit.create(ko, "unit", kEventChunkRows, "1") &&
           konioWeight.create(ko, "weight", kEventChunkRows, "1");
  }

  // Every column's description; the time stamps' depend on the clock (`deterministic`).
  bool describeColumns(bool deterministic) {
    const std::string time = deterministic ? kFrameClockTime : kSteadyClockTime;
    return describe(frame.id(), "the frame's number: 1 is the first frame drawn") &&
           describe(t.id(), time) &&
           describe(foveaCx.id(), "column of the fovea centre the frame was drawn around") &&
           describe(foveaCy.id(), "row of the fovea centre the frame was drawn around") &&
           describe(frameTimeMs.id(),
                    "the frame time the overlay shows: from the start of the frame's read to the "
                    "fovea marker, on the clock of t") &&
           describe(eventsPushed.id(),
                    "events the frame loop pushed for the frame, its frame marker included") &&
           describe(displacedTotal.id(),
                    "events the queue bound has displaced since the start, after the frame") &&
           describe(batchesTotal.id(),
                    "model worker batches (drains that found events) since the start, after the "
                    "frame") &&
           describe(queueSize.id(), "events waiting in the queue after the frame") &&
           describe(sampledCx.id(),
                    "column of the fovea centre the frame's sensors were sampled around: an "
                    "event's pixel is this plus its sensor's /retina/px") &&
           describe(sampledCy.id(),
                    "row of the fovea centre the frame's sensors were sampled around: an event's "
                    "pixel is this plus its sensor's /retina/py") &&
           describe(eventFrame.id(), "the frame whose pass pushed the event (/frames/frame)") &&
           describe(eventTime.id(), "the event's time stamp: its frame's t (see /frames/t)") &&
           describe(eventSrc.id(),
                    "the sensor that sent the event (its row in /retina); -1 for a frame marker") &&
           describe(eventDst.id(),
                    "where the event goes, numbered like the sensors: the same sensor for a "
                    "photoreceptor event, Konio unit src for a Konio input; -1 for a frame "
                    "marker") &&
           describe(eventKind.id(),
                    "what the event is: value_names[i] names the value values[i]") &&
           writeH5Attribute(eventKind.id(), "values", kEventKindValues) &&
           writeH5Attribute(eventKind.id(), "value_names", kEventKindNames) &&
           describe(
               eventWeight.id(),
               "the sensor's gain times its activation, each in [0, 1]; 0 for a frame marker") &&
           describe(konioFrame.id(),
                    "the pass of the frame loop during which the model pushed it: one pushed "
                    "between two frames counts for the next, one pushed after the last frame for "
                    "the last frame + 1") &&
           describe(konioTime.id(),
                    "the time of the model batch that pushed it, on the clock of "
                    "/frames/t") &&
           describe(konioUnit.id(),
                    "the Konio unit, numbered like the sensors (a row of /retina)") &&
           describe(konioWeight.id(), "the unit's activity after the batch, in [0, 1]");
  }

  // Calls `f` on every column, whatever its element type; true when every call returned true.
  // Every column is visited even after a failure, so that each one is closed.
  template <class F>
  bool forEachColumn(F&& f) {
    bool ok = true;
    auto visit = [&](auto&... columns) { ((ok = f(columns) && ok), ...); };
    visit(frame, t, foveaCx, foveaCy, frameTimeMs, eventsPushed, displacedTotal, batchesTotal,
          queueSize, sampledCx, sampledCy, eventFrame, eventTime, eventSrc, eventDst, eventKind,
          eventWeight, konioFrame, konioTime, konioUnit, konioWeight);
    return ok;
  }

  bool flush() {
    return forEachColumn([](auto& column) { return column.flush(); });
  }

  // Closes every dataset and group, then the file; false when any of it failed, typically the
  // last writes on a full disk.
  bool close() {
    bool ok = forEachColumn([](auto& column) { return column.close(); });
    ok = gains.reset() && ok;
    ok = konio.reset() && ok;
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
  if (!problem.empty()) return cannotWrite(path, problem);
  // A file whose last writes failed (a full disk) stays open inside the library whatever H5Fclose
  // says, and the library's exit handler then crashes closing it again. The process's exit
  // closes the descriptor anyway. Only takes effect before the library's first use.
  H5dont_atexit();
  errorCatch_ = std::make_unique<H5ErrorCatch>(h5Failure_);
  withGains_ = withGains;
  data_ = std::make_unique<ExportDatasets>();
  if (!data_->create(file_.tempPath())) {
    problem = cannotWrite(path, takeH5Error(h5Failure_));
    discard();
  }
  return problem;
}

void Hdf5Export::start(const ExportRunInfo& info, ExportWriter writer) {
  const hid_t root = data_->file.get();
  const RunProvenance& run = info.provenance;
  const bool ok =
      writeH5Attribute(root, "tool", info.tool) &&
      writeH5Attribute(root, "version", info.version) &&
      writeH5Attribute(root, "command_line", info.commandLine) &&
      writeH5Attribute(root, "input", info.input) &&
      writeH5Attribute(root, "deterministic", static_cast<std::uint8_t>(info.deterministic)) &&
      writeH5Attribute(root, "sensor_count", info.sensorCount) &&
      writeH5Attribute(root, "queue_bound",
                       static_cast<std::int64_t>(run.parameters.queue.capacity)) &&
      writeH5Attribute(root, "emission_threshold", run.parameters.sampling.emitThreshold) &&
      writeH5Attribute(root, "start_time", info.startTime) &&
      writeH5Attribute(root, "mode", std::string(info.deterministic ? "deterministic" : "live")) &&
      writeH5Attribute(root, "export_gains", static_cast<std::uint8_t>(withGains_)) &&
      writeH5Attribute(root, "input_path", run.inputPath) &&
      writeH5Attribute(root, "input_size_bytes", run.inputBytes) &&
      writeH5Attribute(root, "input_frame_rate", run.inputFrameRate) &&
      writeH5Attribute(root, "config_file", run.configFile) &&
      writeH5Attribute(root, "fovea_control", run.foveaControl) &&
      writeParameters(root, run.parameters) && data_->describeColumns(info.deterministic);
  if (!ok) {
    error_ = cannotWrite(target_, takeH5Error(h5Failure_));
    return;
  }
  live_ = !info.deterministic;
  accepting_ = true;
  writerThread_ = writer == ExportWriter::thread;
  if (!writerThread_) {
    ownFrame_ = std::make_unique<ExportFrame>();
    return;
  }
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

std::unique_ptr<ExportFrame> Hdf5Export::frameForWriter() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (spare_.empty() && !roomForAnotherFrame()) {
    frameWritten_.wait(lock, [this] { return !spare_.empty() || !error_.empty(); });
  }
  if (!error_.empty()) return nullptr;
  if (spare_.empty()) {
    ++framesInFlight_;
    return std::make_unique<ExportFrame>();
  }
  std::unique_ptr<ExportFrame> frame = std::move(spare_.back());
  spare_.pop_back();
  return frame;
}

void Hdf5Export::writeHere(ExportFrame& frame) {
  const bool written = write(frame);
  frame.retina.reset();
  if (written) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (error_.empty()) error_ = cannotWrite(target_, takeH5Error(h5Failure_));
}

std::string Hdf5Export::add(const FrameResult& result, const RetinaPlacement& placement,
                            std::int64_t frameNumber, std::vector<RetinaEvent>& events) {
  // Not started (start failed and said why), already finished, or failed.
  const std::string failure = error();
  if (!accepting_ || !failure.empty())
    return failure.empty() ? cannotWrite(target_, "closed") : failure;
  std::unique_ptr<ExportFrame> frame = writerThread_ ? frameForWriter() : std::move(ownFrame_);
  if (!frame) return error();

  frame->hasRow = true;
  frame->frame = static_cast<std::int32_t>(frameNumber);
  frame->t = result.captureTime;
  frame->foveaCx = result.center.cx;
  frame->foveaCy = result.center.cy;
  frame->frameTimeMs = result.frameTimeMs;
  frame->eventsPushed = static_cast<std::int64_t>(result.eventsPushed);
  frame->displacedTotal = static_cast<std::int64_t>(result.queue.displaced);
  frame->batchesTotal = static_cast<std::int64_t>(result.queue.batches);
  frame->queueSize = static_cast<std::int64_t>(result.queue.size);
  frame->sampledCx = result.sampledCenter.cx;
  frame->sampledCy = result.sampledCenter.cy;
  // Swaps: the session's events continue in the frame's old storage, so neither side allocates
  // once the frames in flight have grown to the usual size.
  if (frame->events.capacity() < expectedEvents_) reserveMapped(frame->events, expectedEvents_);
  frame->events.swap(events);
  events.clear();
  if (withGains_) {
    frame->gains.assign(result.gains->begin(), result.gains->end());
    frame->konio.assign(result.konio->begin(), result.konio->end());
  }
  if (lastFrame_ == 0) {
    frame->retina = std::make_unique<ExportRetina>(ExportRetina{
        *placement.sensors, *placement.offsets, placement.retinaScale, placement.frameSize});
    if (live_) {
      // t is steady-clock time: the wall clock now, less the steady time since t.
      const double wallNow =
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
              .count();
      firstFrameUnixTime_ = wallNow - (steadyNowSeconds() - result.captureTime);
    }
  }
  lastFrame_ = frameNumber;
  if (!writerThread_) {
    expectedEvents_ = std::max(expectedEvents_, frame->events.size() + frame->events.size() / 4);
    writeHere(*frame);
    ownFrame_ = std::move(frame);
    return error();
  }

  {
    std::lock_guard<std::mutex> lock(mutex_);
    expectedEvents_ = std::max(expectedEvents_, frame->events.size() + frame->events.size() / 4);
    frameBytes_ = frame->events.capacity() * sizeof(RetinaEvent) +
                  (frame->gains.capacity() + frame->konio.capacity()) * sizeof(float);
    frame->queuedAt = std::chrono::steady_clock::now();
    queued_.push_back(std::move(frame));
  }
  frameQueued_.notify_one();
  return {};
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
    if (live_ && !closing_) {
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
      error_ = cannotWrite(target_, problem);
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
  bool ok = index.create(group, "index", kRetinaChunkRows, "1") &&
            describe(index.id(),
                     "the sensor's number: the key of every per-sensor column and of "
                     "src, dst and unit") &&
            x.create(group, "x", kRetinaChunkRows, "retina units") &&
            describe(x.id(), "the sensor's position right of the retina's centre") &&
            y.create(group, "y", kRetinaChunkRows, "retina units") &&
            describe(y.id(),
                     "the sensor's position below the retina's centre (y grows downward, "
                     "like frame rows)") &&
            colorClass.create(group, "color_class", kRetinaChunkRows) &&
            writeH5Attribute(colorClass.id(), "value_names", kColorClassNames) &&
            writeH5Attribute(colorClass.id(), "values", kColorClassValues) &&
            describe(colorClass.id(),
                     "the pixel channel the sensor reads (albastru: blue, rosu: "
                     "red, verde: green, alb_negru: the mean of the three): "
                     "value_names[i] names the value values[i]") &&
            isSpiral.create(group, "is_spiral", kRetinaChunkRows) &&
            describe(isSpiral.id(), "1 for a sensor on a spiral point, 0 for a satellite") &&
            isPrime.create(group, "is_prime", kRetinaChunkRows) &&
            describe(isPrime.id(),
                     "1 for a spiral sensor whose spiral ordinal (from 1) is prime, "
                     "else 0") &&
            radius.create(group, "radius", kRetinaChunkRows, "pixels") &&
            describe(radius.id(), "radius of the disc drawn for the sensor") &&
            px.create(group, "px", kRetinaChunkRows, "pixels") &&
            describe(px.id(),
                     "the sensor's column offset from the fovea centre at the run's "
                     "scale (retina_scale)") &&
            py.create(group, "py", kRetinaChunkRows, "pixels") &&
            describe(py.id(), "the sensor's row offset from the fovea centre at the run's scale") &&
            writeH5Attribute(group, "retina_scale", retina.retinaScale) &&
            describe(group,
                     "a row per sensor, in generation order; the attribute retina_scale "
                     "is the run's scale in pixels per retina unit: diameter / 2 units "
                     "span the distance from the first frame's middle to its nearest "
                     "edge") &&
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
    d.gains = createH5FloatRows(d.file.get(), "gains", n, "1");
    d.konio = createH5FloatRows(d.file.get(), "konio", n, "1");
    ok = d.gains.valid() && d.konio.valid() &&
         describe(d.gains.get(),
                  "row f - 1: the gains frame f was drawn with, one per sensor in "
                  "the order of /retina, each in (0, 1]") &&
         describe(d.konio.get(),
                  "row f - 1: the Konio activity frame f was drawn with, one per "
                  "sensor in the order of /retina, each in [0, 1]");
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
         d.batchesTotal.push(f.batchesTotal) && d.queueSize.push(f.queueSize) &&
         d.sampledCx.push(f.sampledCx) && d.sampledCy.push(f.sampledCy);
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
         H5DOappend(d.gains.get(), H5P_DEFAULT, 0, 1, H5T_NATIVE_FLOAT, f.gains.data()) >= 0 &&
         H5DOappend(d.konio.get(), H5P_DEFAULT, 0, 1, H5T_NATIVE_FLOAT, f.konio.data()) >= 0;
  }
  return ok;
}

void Hdf5Export::stopWriter() {
  accepting_ = false;
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

std::string Hdf5Export::finish(const ExportEnd& end, std::vector<RetinaEvent> eventsAfterLastFrame,
                               const std::function<void(std::size_t)>& waiting) {
  if (!eventsAfterLastFrame.empty()) {
    auto tail = std::make_unique<ExportFrame>();
    tail->hasRow = false;
    tail->frame = static_cast<std::int32_t>(lastFrame_ + 1);
    tail->events.swap(eventsAfterLastFrame);
    if (!writerThread_) {
      if (error().empty()) writeHere(*tail);
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      queued_.push_back(std::move(tail));
    }
  }
  waitForWriter(waiting);
  stopWriter();
  std::string problem = error();
  if (problem.empty() && !writeEndAttributes()) {
    problem = cannotWrite(target_, takeH5Error(h5Failure_));
  }
  if (problem.empty()) problem = closeFile(end);
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
  return problem.empty() ? problem : cannotWrite(target_, problem);
}

std::string Hdf5Export::closeFile(const ExportEnd& end) {
  ExportDatasets& d = *data_;
  const hid_t root = d.file.get();
  bool ok = d.flush();
  if (!d.retinaWritten) {
    ok = ok && writeH5Attribute(root, "frame_width", std::int64_t{0}) &&
         writeH5Attribute(root, "frame_height", std::int64_t{0});
  }
  ok = ok && writeH5Attribute(root, "end_reason", end.reason) &&
       writeH5Attribute(root, "completed", static_cast<std::uint8_t>(end.completed));
  if (live_ && lastFrame_ > 0) {
    ok = ok && writeH5Attribute(root, "first_frame_wall_time", isoTime(firstFrameUnixTime_)) &&
         writeH5Attribute(root, "first_frame_unix_time", firstFrameUnixTime_);
  }
  ok = d.close() && ok;
  return ok ? std::string() : cannotWrite(target_, takeH5Error(h5Failure_));
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
