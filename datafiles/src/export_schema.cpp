#include "export_schema.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "display/render.h"
#include "session/parameter_file.h"

namespace {

// Rows per chunk: a frame pushes some 32000 events, and the columns hand the library whole
// chunks only (the rest at the end), so none is compressed twice or read back.
constexpr std::uint64_t kEventChunkRows = 65536;
constexpr std::uint64_t kFrameChunkRows = 1024;
constexpr std::uint64_t kRetinaChunkRows = 32768;

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

std::vector<std::string> colorClassValueNames() {
  std::vector<std::string> names;
  for (const ColorClassName& c : kColorClassNames)
    names.emplace_back(c.name);
  return names;
}

std::vector<std::int64_t> colorClassValues() {
  std::vector<std::int64_t> values;
  for (const ColorClassName& c : kColorClassNames)
    values.push_back(static_cast<std::int64_t>(c.value));
  return values;
}

// "the pixel channel the sensor reads (albastru: blue, ..., alb_negru: the mean of the three):
// value_names[i] names the value values[i]".
std::string colorClassDescription() {
  std::string text = "the pixel channel the sensor reads (";
  for (const ColorClassName& c : kColorClassNames) {
    if (c.value != kColorClassNames.front().value) text += ", ";
    text += std::string(c.name) + ": " + c.reads;
  }
  return text + "): value_names[i] names the value values[i]";
}

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

bool describe(hid_t object, const std::string& description) {
  return writeH5Attribute(object, "description", description);
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

// /retina's columns, written whole at once.
struct RetinaColumns {
  H5Column<std::int32_t> index, x, y, radius, px, py;
  H5Column<std::uint8_t> colorClass, isSpiral, isPrime;

  bool create(hid_t group) {
    return index.create(group, "index", kRetinaChunkRows, "1") &&
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
           writeH5Attribute(colorClass.id(), "value_names", colorClassValueNames()) &&
           writeH5Attribute(colorClass.id(), "values", colorClassValues()) &&
           describe(colorClass.id(), colorClassDescription()) &&
           isSpiral.create(group, "is_spiral", kRetinaChunkRows) &&
           describe(isSpiral.id(), "1 for a sensor on a spiral point, 0 for a satellite") &&
           isPrime.create(group, "is_prime", kRetinaChunkRows) &&
           describe(isPrime.id(),
                    "1 for a spiral sensor whose spiral ordinal (from 1) is prime, else 0") &&
           radius.create(group, "radius", kRetinaChunkRows, "pixels") &&
           describe(radius.id(), "radius of the disc drawn for the sensor") &&
           px.create(group, "px", kRetinaChunkRows, "pixels") &&
           describe(px.id(),
                    "the sensor's column offset from the fovea centre at the run's "
                    "scale (retina_scale)") &&
           py.create(group, "py", kRetinaChunkRows, "pixels") &&
           describe(py.id(), "the sensor's row offset from the fovea centre at the run's scale");
  }

  bool fill(const std::vector<Sensor>& sensors, const SensorOffsets& offsets) {
    bool ok = true;
    for (std::size_t i = 0; ok && i < sensors.size(); ++i) {
      const Sensor& s = sensors[i];
      ok = index.push(s.index) && x.push(s.x) && y.push(s.y) &&
           colorClass.push(static_cast<std::uint8_t>(s.colorClass)) && isSpiral.push(s.isSpiral) &&
           isPrime.push(s.isPrime) && radius.push(discRadius(s)) &&
           px.push(i < offsets.size() ? offsets[i].x : 0) &&
           py.push(i < offsets.size() ? offsets[i].y : 0);
    }
    for (H5Column<std::int32_t>* c : {&index, &x, &y, &radius, &px, &py})
      ok = ok && c->flush() && c->close();
    for (H5Column<std::uint8_t>* c : {&colorClass, &isSpiral, &isPrime})
      ok = ok && c->flush() && c->close();
    return ok;
  }
};

}  // namespace

bool ExportFile::create(const std::string& path) {
  file_ = H5Id(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
  if (!file_.valid()) return false;
  const hid_t f = file_.get();
  framesGroup_ = H5Id(H5Gcreate2(f, "frames", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  eventsGroup_ = H5Id(H5Gcreate2(f, "events", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  konioEventsGroup_ = H5Id(H5Gcreate2(f, "konio_events", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  retinaGroup_ = H5Id(H5Gcreate2(f, "retina", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  return framesGroup_.valid() && eventsGroup_.valid() && konioEventsGroup_.valid() &&
         retinaGroup_.valid() && createColumns();
}

bool ExportFile::createColumns() {
  const hid_t fr = framesGroup_.get(), ev = eventsGroup_.get(), ko = konioEventsGroup_.get();
  return frame_.create(fr, "frame", kFrameChunkRows, "1") &&
         t_.create(fr, "t", kFrameChunkRows, "s") &&
         foveaCx_.create(fr, "fovea_cx", kFrameChunkRows, "pixels") &&
         foveaCy_.create(fr, "fovea_cy", kFrameChunkRows, "pixels") &&
         frameTimeMs_.create(fr, "frame_time_ms", kFrameChunkRows, "ms") &&
         eventsPushed_.create(fr, "events_pushed", kFrameChunkRows, "events") &&
         displacedTotal_.create(fr, "displaced_total", kFrameChunkRows, "events") &&
         batchesTotal_.create(fr, "batches_total", kFrameChunkRows, "batches") &&
         queueSize_.create(fr, "queue_size", kFrameChunkRows, "events") &&
         sampledCx_.create(fr, "sampled_cx", kFrameChunkRows, "pixels") &&
         sampledCy_.create(fr, "sampled_cy", kFrameChunkRows, "pixels") &&
         eventFrame_.create(ev, "frame", kEventChunkRows, "1") &&
         eventTime_.create(ev, "t", kEventChunkRows, "s") &&
         eventSrc_.create(ev, "src", kEventChunkRows, "1") &&
         eventDst_.create(ev, "dst", kEventChunkRows, "1") &&
         eventKind_.create(ev, "kind", kEventChunkRows) &&
         eventWeight_.create(ev, "weight", kEventChunkRows, "1") &&
         konioFrame_.create(ko, "frame", kEventChunkRows, "1") &&
         konioTime_.create(ko, "t", kEventChunkRows, "s") &&
         konioUnit_.create(ko, "unit", kEventChunkRows, "1") &&
         konioWeight_.create(ko, "weight", kEventChunkRows, "1");
}

bool ExportFile::writeRunAttributes(const ExportRunInfo& info, bool withGains) {
  const hid_t root = file_.get();
  const RunProvenance& run = info.provenance;
  return writeH5Attribute(root, "tool", info.tool) &&
         writeH5Attribute(root, "version", info.version) &&
         writeH5Attribute(root, "command_line", info.commandLine) &&
         writeH5Attribute(root, "input", info.input) &&
         writeH5Attribute(root, "deterministic", static_cast<std::uint8_t>(info.deterministic)) &&
         writeH5Attribute(root, "sensor_count", info.sensorCount) &&
         writeH5Attribute(root, "queue_bound",
                          static_cast<std::int64_t>(run.parameters.queue.capacity)) &&
         writeH5Attribute(root, "emission_threshold", run.parameters.sampling.emitThreshold) &&
         writeH5Attribute(root, "start_time", info.startTime) &&
         writeH5Attribute(root, "mode",
                          std::string(info.deterministic ? "deterministic" : "live")) &&
         writeH5Attribute(root, "export_gains", static_cast<std::uint8_t>(withGains)) &&
         writeH5Attribute(root, "input_path", run.inputPath) &&
         writeH5Attribute(root, "input_size_bytes", run.inputBytes) &&
         writeH5Attribute(root, "input_frame_rate", run.inputFrameRate) &&
         writeH5Attribute(root, "config_file", run.configFile) &&
         writeH5Attribute(root, "fovea_control", run.foveaControl) &&
         writeParameters(root, run.parameters) && describeColumns(info.deterministic);
}

bool ExportFile::describeColumns(bool deterministic) {
  const std::string time = deterministic ? kFrameClockTime : kSteadyClockTime;
  return describe(frame_.id(), "the frame's number: 1 is the first frame drawn") &&
         describe(t_.id(), time) &&
         describe(foveaCx_.id(), "column of the fovea centre the frame was drawn around") &&
         describe(foveaCy_.id(), "row of the fovea centre the frame was drawn around") &&
         describe(frameTimeMs_.id(),
                  "the frame time the overlay shows: from the start of the frame's read to the "
                  "fovea marker, on the clock of t") &&
         describe(eventsPushed_.id(),
                  "events the frame loop pushed for the frame, its frame marker included") &&
         describe(displacedTotal_.id(),
                  "events the queue bound has displaced since the start, after the frame") &&
         describe(batchesTotal_.id(),
                  "model worker batches (drains that found events) since the start, after the "
                  "frame") &&
         describe(queueSize_.id(), "events waiting in the queue after the frame") &&
         describe(sampledCx_.id(),
                  "column of the fovea centre the frame's sensors were sampled around: an "
                  "event's pixel is this plus its sensor's /retina/px") &&
         describe(sampledCy_.id(),
                  "row of the fovea centre the frame's sensors were sampled around: an event's "
                  "pixel is this plus its sensor's /retina/py") &&
         describe(eventFrame_.id(), "the frame whose pass pushed the event (/frames/frame)") &&
         describe(eventTime_.id(), "the event's time stamp: its frame's t (see /frames/t)") &&
         describe(eventSrc_.id(),
                  "the sensor that sent the event (its row in /retina); -1 for a frame marker") &&
         describe(eventDst_.id(),
                  "where the event goes, numbered like the sensors: the same sensor for a "
                  "photoreceptor event, Konio unit src for a Konio input; -1 for a frame "
                  "marker") &&
         describe(eventKind_.id(), "what the event is: value_names[i] names the value values[i]") &&
         writeH5Attribute(eventKind_.id(), "values", kEventKindValues) &&
         writeH5Attribute(eventKind_.id(), "value_names", kEventKindNames) &&
         describe(eventWeight_.id(),
                  "the sensor's gain times its activation, each in [0, 1]; 0 for a frame marker") &&
         describe(konioFrame_.id(),
                  "the pass of the frame loop during which the model pushed it: one pushed "
                  "between two frames counts for the next, one pushed after the last frame for "
                  "the last frame + 1") &&
         describe(konioTime_.id(),
                  "the time of the model batch that pushed it, on the clock of /frames/t") &&
         describe(konioUnit_.id(),
                  "the Konio unit, numbered like the sensors (a row of /retina)") &&
         describe(konioWeight_.id(), "the unit's activity after the batch, in [0, 1]");
}

bool ExportFile::writeRetina(const std::vector<Sensor>& sensors, const SensorOffsets& offsets,
                             float retinaScale, cv::Size frameSize, bool withGains) {
  const hid_t group = retinaGroup_.get();
  RetinaColumns columns;
  bool ok =
      columns.create(group) && writeH5Attribute(group, "retina_scale", retinaScale) &&
      describe(group,
               "a row per sensor, in generation order; the attribute retina_scale "
               "is the run's scale in pixels per retina unit: diameter / 2 units "
               "span the distance from the first frame's middle to its nearest "
               "edge") &&
      writeH5Attribute(file_.get(), "frame_width", static_cast<std::int64_t>(frameSize.width)) &&
      writeH5Attribute(file_.get(), "frame_height", static_cast<std::int64_t>(frameSize.height)) &&
      columns.fill(sensors, offsets);
  const std::uint64_t n = sensors.size();
  if (ok && withGains) {
    gains_ = createH5FloatRows(file_.get(), "gains", n, "1");
    konio_ = createH5FloatRows(file_.get(), "konio", n, "1");
    ok = gains_.valid() && konio_.valid() &&
         describe(gains_.get(),
                  "row f - 1: the gains frame f was drawn with, one per sensor in "
                  "the order of /retina, each in (0, 1]") &&
         describe(konio_.get(),
                  "row f - 1: the Konio activity frame f was drawn with, one per "
                  "sensor in the order of /retina, each in [0, 1]");
  }
  retinaWritten_ = ok;
  sensors_ = n;
  return ok;
}

bool ExportFile::appendFrame(const ExportFrameRow& row) {
  return frame_.push(row.frame) && t_.push(row.t) && foveaCx_.push(row.foveaCx) &&
         foveaCy_.push(row.foveaCy) && frameTimeMs_.push(row.frameTimeMs) &&
         eventsPushed_.push(row.eventsPushed) && displacedTotal_.push(row.displacedTotal) &&
         batchesTotal_.push(row.batchesTotal) && queueSize_.push(row.queueSize) &&
         sampledCx_.push(row.sampledCx) && sampledCy_.push(row.sampledCy);
}

bool ExportFile::appendEvents(std::int32_t frame, const std::vector<RetinaEvent>& events) {
  bool ok = true;
  for (const RetinaEvent& e : events) {
    if (!ok) break;
    if (e.kind == EventKind::KonioOutput) {
      ok = konioFrame_.push(frame) && konioTime_.push(e.time) && konioUnit_.push(e.src) &&
           konioWeight_.push(e.weight);
    } else {
      ok = eventFrame_.push(frame) && eventTime_.push(e.time) && eventSrc_.push(e.src) &&
           eventDst_.push(e.dst) &&
           eventKind_.push(static_cast<std::uint8_t>(static_cast<std::int32_t>(e.kind))) &&
           eventWeight_.push(e.weight);
    }
  }
  return ok;
}

bool ExportFile::appendSnapshots(const std::vector<float>& gains, const std::vector<float>& konio) {
  return retinaWritten_ && gains.size() == sensors_ && konio.size() == sensors_ &&
         H5DOappend(gains_.get(), H5P_DEFAULT, 0, 1, H5T_NATIVE_FLOAT, gains.data()) >= 0 &&
         H5DOappend(konio_.get(), H5P_DEFAULT, 0, 1, H5T_NATIVE_FLOAT, konio.data()) >= 0;
}

bool ExportFile::writeInputEndedEarly(std::int64_t frame, const std::string& cause) {
  const hid_t root = file_.get();
  return writeH5Attribute(root, "input_ended_early", frame) &&
         writeH5Attribute(root, "input_ended_early_cause", cause);
}

bool ExportFile::writeEnd(const ExportEnd& end, const double* firstFrameUnixTime) {
  const hid_t root = file_.get();
  bool ok = forEachColumn([](auto& column) { return column.flush(); });
  if (!retinaWritten_) {
    ok = ok && writeH5Attribute(root, "frame_width", std::int64_t{0}) &&
         writeH5Attribute(root, "frame_height", std::int64_t{0});
  }
  ok = ok && writeH5Attribute(root, "end_reason", end.reason) &&
       writeH5Attribute(root, "completed", static_cast<std::uint8_t>(end.completed));
  if (firstFrameUnixTime != nullptr) {
    ok = ok && writeH5Attribute(root, "first_frame_wall_time", isoTime(*firstFrameUnixTime)) &&
         writeH5Attribute(root, "first_frame_unix_time", *firstFrameUnixTime);
  }
  return ok;
}

template <class F>
bool ExportFile::forEachColumn(F&& f) {
  bool ok = true;
  auto visit = [&](auto&... columns) { ((ok = f(columns) && ok), ...); };
  visit(frame_, t_, foveaCx_, foveaCy_, frameTimeMs_, eventsPushed_, displacedTotal_, batchesTotal_,
        queueSize_, sampledCx_, sampledCy_, eventFrame_, eventTime_, eventSrc_, eventDst_,
        eventKind_, eventWeight_, konioFrame_, konioTime_, konioUnit_, konioWeight_);
  return ok;
}

bool ExportFile::close() {
  bool ok = forEachColumn([](auto& column) { return column.close(); });
  ok = gains_.reset() && ok;
  ok = konio_.reset() && ok;
  for (H5Id* group : {&framesGroup_, &eventsGroup_, &konioEventsGroup_, &retinaGroup_})
    ok = group->reset() && ok;
  if (file_.valid() && H5Fflush(file_.get(), H5F_SCOPE_LOCAL) < 0) ok = false;
  return file_.reset() && ok;
}
