// The compiled part of the quillaventora module: the session, the parameters, the frame reader
// and the export, converted between C++ and Python. No rule lives here that the C++ side does
// not have; what is here is ownership (which Python object keeps which memory alive), the GIL,
// and the translation of arrays, values and messages.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <cxxabi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "display/render.h"
#include "frame_input/frame_input.h"
#include "model/event_queue.h"
#include "platform/platform.h"
#include "retina/fibonacci_retina.h"
#include "retina/sensor.h"
#include "run/run.h"
#include "safe_output/temp_file_lock.h"
#include "session/fovea_path.h"
#include "session/frame_clock.h"
#include "session/parameter_file.h"
#include "session/parameters.h"
#include "session/session.h"

namespace py = pybind11;

namespace {

// NumPy reads a RetinaEvent in place through a structured dtype with these offsets, its fields
// in memory order (np.save and pandas need that). `kind` is an int32 in C++; its low byte, first
// on a little-endian machine, holds every kind's value, and the three above it are padding.
static_assert(sizeof(RetinaEvent) == 24, "RetinaEvent is 24 bytes");
static_assert(offsetof(RetinaEvent, time) == 0 && offsetof(RetinaEvent, src) == 8 &&
                  offsetof(RetinaEvent, dst) == 12 && offsetof(RetinaEvent, weight) == 16 &&
                  offsetof(RetinaEvent, kind) == 20,
              "RetinaEvent's layout is the event dtype's");
static_assert(sizeof(double) == 8 && sizeof(float) == 4, "IEEE 754 binary64 and binary32");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the event dtype is little-endian");

// One row of the retina's structured array, packed as NumPy packs the dtype below.
#pragma pack(push, 1)
struct RetinaRow {
  std::int32_t index, x, y, px, py, radius;
  std::uint8_t colorClass, isSpiral, isPrime;
};
#pragma pack(pop)
static_assert(sizeof(RetinaRow) == 27, "a retina row is 27 bytes");

using EventBuffer = std::vector<RetinaEvent>;

// Created once, with the GIL, when the module is imported; never destroyed, so that no Python
// object is released after the interpreter has gone.
const py::dtype& eventDtype() {
  static const auto* dtype = new py::dtype(
      py::list(py::make_tuple("t", "src", "dst", "weight", "kind")),
      py::list(py::make_tuple("<f8", "<i4", "<i4", "<f4", "u1")),
      py::list(py::make_tuple(offsetof(RetinaEvent, time), offsetof(RetinaEvent, src),
                              offsetof(RetinaEvent, dst), offsetof(RetinaEvent, weight),
                              offsetof(RetinaEvent, kind))),
      sizeof(RetinaEvent));
  return *dtype;
}

const py::dtype& retinaDtype() {
  static const auto* dtype = new py::dtype(
      py::list(py::make_tuple("index", "x", "y", "px", "py", "radius", "color_class", "is_spiral",
                              "is_prime")),
      py::list(py::make_tuple("<i4", "<i4", "<i4", "<i4", "<i4", "<i4", "u1", "u1", "u1")),
      py::list(py::make_tuple(offsetof(RetinaRow, index), offsetof(RetinaRow, x),
                              offsetof(RetinaRow, y), offsetof(RetinaRow, px),
                              offsetof(RetinaRow, py), offsetof(RetinaRow, radius),
                              offsetof(RetinaRow, colorClass), offsetof(RetinaRow, isSpiral),
                              offsetof(RetinaRow, isPrime))),
      sizeof(RetinaRow));
  return *dtype;
}

void makeReadOnly(py::array& array) {
  py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
}

// A read-only NumPy view of `count` items at `data`, which `base` keeps alive.
py::array readOnlyView(const py::dtype& dtype, std::vector<py::ssize_t> shape,
                       std::vector<py::ssize_t> strides, const void* data, py::handle base) {
  py::array view(dtype, std::move(shape), std::move(strides), data, base);
  makeReadOnly(view);
  return view;
}

// A capsule that owns `value` (moved in), as the base of the arrays that view it.
template <class T>
py::capsule owning(T value) {
  return py::capsule(new T(std::move(value)), [](void* p) { delete static_cast<T*>(p); });
}

std::string typeName(py::handle object) {
  return py::str(py::type::handle_of(object).attr("__name__"));
}

// A path argument (str, bytes or os.PathLike) as the file name it stands for: its bytes, so that
// a name that is not UTF-8 (a str with surrogateescape's stand-ins) reaches the file system.
std::string fspath(const py::object& path) {
  return py::bytes(py::module_::import("os").attr("fsencode")(path));
}

// C++ text as Python's str; the bytes of a file name in it that are not UTF-8 become
// surrogateescape's stand-ins, as os.fsdecode makes them.
py::str text(const std::string& bytes) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<py::ssize_t>(bytes.size()), "surrogateescape");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

// Once the interpreter shuts down, Python ends any other thread that asks for the GIL with
// pthread_exit. Its unwinding would release Python objects without the GIL and, reaching a
// noexcept destructor, abort the process ("terminate called without an active exception"): such
// a thread waits here instead, holding what it holds, until the process has exited.
[[noreturn]] void waitForTheEnd() {
  for (;;)
    pause();
}

void takeGil(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    waitForTheEnd();
  }
}

// Runs `work` with the GIL released, then takes it back (see waitForTheEnd).
template <class Work>
void withoutGil(Work&& work) {
  PyThreadState* state = PyEval_SaveThread();
  try {
    work();
  } catch (abi::__forced_unwind&) {  // `work` asked for the GIL itself
    waitForTheEnd();
  } catch (...) {
    takeGil(state);
    throw;
  }
  takeGil(state);
}

std::string shapeText(const py::array& array) {
  return py::str(
      py::tuple(py::cast(std::vector<py::ssize_t>(array.shape(), array.shape() + array.ndim()))));
}

// ---------------------------------------------------------------------------------------------
// Frames in

constexpr char kFrameForms[] = "H x W x 3 BGR, H x W grey or H x W x 4 BGRA";

// The frame as a cv::Mat over the pixels of `object` (a NumPy array), which `keep` then holds: the
// array itself, or a C-ordered copy when its rows are not made of whole, adjacent pixels (a
// view with steps, negative strides or broadcasting). A crop of a larger image is used in place.
cv::Mat frameMat(py::handle object, py::array& keep) {
  if (!py::isinstance<py::array>(object)) {
    throw py::type_error(std::string("frame must be a NumPy array (") + kFrameForms +
                         ", uint8), not " + typeName(object));
  }
  py::array array = py::reinterpret_borrow<py::array>(object);
  int depth = 0;
  if (py::isinstance<py::array_t<std::uint8_t>>(array)) {
    depth = CV_8U;
  } else if (py::isinstance<py::array_t<std::uint16_t>>(array)) {
    depth = CV_16U;  // scaled to 8 bits, as the session scales a 16-bit camera's frames
  } else {
    throw py::type_error("frame must be uint8 (or native-order uint16), not " +
                         std::string(py::str(array.dtype())));
  }
  const py::ssize_t ndim = array.ndim();
  const py::ssize_t channels = ndim == 3 ? array.shape(2) : 1;
  if ((ndim != 2 && ndim != 3) || (channels != 1 && channels != 3 && channels != 4)) {
    throw py::value_error(std::string("frame must be ") + kFrameForms + ", not of shape " +
                          shapeText(array));
  }
  if (array.shape(0) == 0 || array.shape(1) == 0) {
    throw py::value_error("frame is empty: shape " + shapeText(array));
  }
  if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX) {
    throw py::value_error("frame is too large: shape " + shapeText(array));
  }
  const py::ssize_t item = array.itemsize();
  const py::ssize_t pixel = channels * item;
  const bool wholePixelRows =
      (ndim == 2 || array.strides(2) == item) && array.strides(1) == pixel &&
      array.strides(0) >= array.shape(1) * pixel && array.strides(0) % item == 0 &&
      py::detail::check_flags(array.ptr(), py::detail::npy_api::NPY_ARRAY_ALIGNED_);
  if (!wholePixelRows) {
    array = py::array::ensure(array, py::array::c_style | py::detail::npy_api::NPY_ARRAY_ALIGNED_);
    if (!array) throw py::error_already_set();
  }
  keep = array;
  return cv::Mat(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)),
                 CV_MAKETYPE(depth, static_cast<int>(channels)), const_cast<void*>(array.data()),
                 static_cast<std::size_t>(array.strides(0)));
}

// A BGR cv::Mat as a NumPy array that owns it (no copy).
py::array ownedImage(cv::Mat image) {
  const std::vector<py::ssize_t> shape{image.rows, image.cols, image.channels()};
  const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(image.step[0]),
                                         static_cast<py::ssize_t>(image.elemSize()),
                                         static_cast<py::ssize_t>(image.elemSize1())};
  const void* data = image.data;
  return py::array(py::dtype::of<std::uint8_t>(), shape, strides, data, owning(std::move(image)));
}

// A float32 array that owns `values` (moved in, no copy).
py::array ownedFloats(std::vector<float> values) {
  const auto count = static_cast<py::ssize_t>(values.size());
  const float* data = values.data();  // moving the vector keeps its storage
  return py::array(py::dtype::of<float>(), {count}, {py::ssize_t{sizeof(float)}}, data,
                   owning(std::move(values)));
}

// A keyword that is a flag: True or False (a NumPy bool too), not None, 0 or a string, which
// would otherwise pass for one.
bool flagArgument(py::handle value, const char* keyword) {
  if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
  if (py::isinstance(value, py::module_::import("numpy").attr("bool_"))) {
    return py::cast<bool>(py::bool_(py::reinterpret_borrow<py::object>(value)));
  }
  throw py::type_error(std::string(keyword) + " must be True or False, not " + typeName(value));
}

// ---------------------------------------------------------------------------------------------
// Parameters

using ParametersPtr = std::shared_ptr<Parameters>;

// p.konio: the keys of one section as attributes of their own.
struct ParameterSection {
  ParametersPtr owner;
  std::string name;
};

const ParameterKey& keyNamed(const std::string& path) {
  const ParameterKey* key = findParameterKey(path);
  if (key == nullptr) {
    throw py::attribute_error("unknown key " + path + parameterKeySuggestion(path));
  }
  return *key;
}

// A value as Python shows it: an int, or the float whose shortest decimal reads back as the
// single-precision value in use (0.98, not 0.9800000190734863).
py::object valueObject(const Parameters& parameters, const ParameterKey& key) {
  const double value = parameterValue(parameters, key);
  if (key.integer()) return py::int_(static_cast<long long>(value));
  return py::float_(std::strtod(formatParameterValue(key, value).c_str(), nullptr));
}

// ('section.key', value) of every key, in file order: what keys(), values(), items() and
// to_dict() show.
py::list parameterItems(const Parameters& parameters) {
  py::list items;
  for (const ParameterKey& key : parameterKeys())
    items.append(py::make_tuple(key.path(), valueObject(parameters, key)));
  return items;
}

// Sets one key from a Python value: a whole number for a whole-number key, any real number for
// the others (bool is neither), within the key's range. The messages are the parameter file's.
void setValue(Parameters& parameters, const ParameterKey& key, py::handle value) {
  const py::module_ numbers = py::module_::import("numbers");
  const py::module_ numpy = py::module_::import("numpy");
  const bool isBool =
      py::isinstance<py::bool_>(value) || py::isinstance(value, numpy.attr("bool_"));
  const bool accepted =
      !isBool && py::isinstance(value, numbers.attr(key.integer() ? "Integral" : "Real"));
  if (!accepted) {
    throw py::type_error(key.path() + " must be " +
                         (key.integer() ? "a whole number" : "a number") + ", not " +
                         typeName(value));
  }
  double number = 0.0;
  if (key.integer()) {
    const py::int_ whole(py::reinterpret_borrow<py::object>(value));
    number = PyLong_AsDouble(whole.ptr());
    if (number == -1.0 && PyErr_Occurred()) {  // beyond a double: out of any key's range
      PyErr_Clear();
      number = py::cast<bool>(whole.attr("__lt__")(0)) ? -HUGE_VAL : HUGE_VAL;
    }
  } else {
    number = py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(value)));
  }
  const std::string problem = checkParameterValue(key, number);
  if (!problem.empty()) throw py::value_error(problem);
  setParameterValue(parameters, key, number);
}

ParametersPtr parametersFromText(const std::string& text) {
  const ParameterFileResult result = parseParameterText(text);
  if (!result.error.empty()) throw py::value_error(result.error);
  return std::make_shared<Parameters>(result.parameters);
}

ParametersPtr parametersFromFile(const py::object& path) {
  const std::string file = fspath(path);
  const ParameterFileResult result = readParameterFile(file);
  if (!result.error.empty()) throw py::value_error("'" + file + "': " + result.error);
  return std::make_shared<Parameters>(result.parameters);
}

bool isPath(py::handle object) {
  return py::isinstance<py::str>(object) ||
         py::isinstance(object, py::module_::import("os").attr("PathLike"));
}

// `parameters` as the functions take it: None (the defaults), a Parameters, or the path of a
// parameter file.
Parameters parametersArgument(const py::object& parameters) {
  if (parameters.is_none()) return Parameters{};
  if (py::isinstance<Parameters>(parameters)) return parameters.cast<const Parameters&>();
  if (isPath(parameters)) return *parametersFromFile(parameters);
  throw py::type_error("parameters must be a Parameters, a parameter file's path or None, not " +
                       typeName(parameters));
}

std::vector<std::string> keyPaths() {
  std::vector<std::string> paths;
  for (const ParameterKey& key : parameterKeys())
    paths.push_back(key.path());
  return paths;
}

const ParameterKey& keyItem(const std::string& path) {
  const ParameterKey* key = findParameterKey(path);
  if (key == nullptr) throw py::key_error("unknown key " + path + parameterKeySuggestion(path));
  return *key;
}

// Parameters(values): the defaults, a copy of a Parameters, or the defaults with the keys of a
// mapping ('section.key': value) set, each checked as p[key] = value checks it.
ParametersPtr parametersFrom(const py::object& values) {
  auto parameters = std::make_shared<Parameters>();
  if (values.is_none()) return parameters;
  if (py::isinstance<Parameters>(values)) {
    *parameters = values.cast<const Parameters&>();
    return parameters;
  }
  if (!py::isinstance(values, py::module_::import("collections.abc").attr("Mapping"))) {
    throw py::type_error(
        "Parameters takes a mapping of 'section.key' to value, a Parameters or "
        "nothing, not " +
        typeName(values));
  }
  for (const py::handle key : values.attr("keys")()) {
    if (!py::isinstance<py::str>(key)) {
      throw py::type_error("a parameter key is a 'section.key' string, not " + typeName(key));
    }
    setValue(*parameters, keyItem(key.cast<std::string>()), values[key]);
  }
  return parameters;
}

std::string repr(const Parameters& parameters) {
  std::string text;
  for (const std::string& path : changedParameters(parameters)) {
    text += (text.empty() ? "" : ", ") + path + "=" +
            std::string(py::repr(valueObject(parameters, keyNamed(path))));
  }
  return "Parameters(" + text + ")";
}

// ---------------------------------------------------------------------------------------------
// The session

FoveaControl foveaArgument(const py::object& fovea, const py::object& foveaPath) {
  FoveaControl control;
  if (!fovea.is_none() && !py::isinstance<py::str>(fovea)) {
    throw py::type_error("fovea must be 'model', 'fixed' or None, not " + typeName(fovea));
  }
  const std::string mode = fovea.is_none() ? "" : fovea.cast<std::string>();
  if (!mode.empty() && mode != "model" && mode != "fixed") {
    throw py::value_error(
        "fovea must be 'model' or 'fixed' (a scripted path is fovea_path), not '" + mode + "'");
  }
  if (mode == "fixed") control.mode = FoveaMode::fixed;
  if (foveaPath.is_none()) return control;
  if (!mode.empty()) {
    throw py::value_error("give fovea or fovea_path, not both: a path moves the centre by itself");
  }
  if (!isPath(foveaPath)) {
    throw py::type_error("fovea_path must be a CSV file's path, not " + typeName(foveaPath));
  }
  const std::string file = fspath(foveaPath);
  FoveaPathResult path = readFoveaPath(file);
  if (!path.error.empty()) throw py::value_error("fovea_path '" + file + "': " + path.error);
  control.mode = FoveaMode::path;
  control.path = std::move(path.path);
  return control;
}

// What one step gives Python. The arrays are views (see Session.step's docstring).
struct StepResult {
  py::object canvas, activations, gains, konio, events, konioEvents;
  py::tuple center, sampledCenter;
  std::int64_t frame = 0;
  double t = 0.0;
  std::int32_t frameTimeMs = 0;
  std::int64_t eventsPushed = 0;
  std::int64_t queueSize = 0, queuePeak = 0, displacedTotal = 0, batchesTotal = 0;
};

// The module's own loop over Session::step: frames handed in one at a time, timed by the frame
// clock (deterministic) or the steady clock, as retina-replay's loop times the frames it reads.
class FrameStepper {
 public:
  FrameStepper(const Parameters& parameters, FoveaControl fovea, bool deterministic, bool events)
      : clock_(deterministic),
        recordEvents_(events),
        session_(config(parameters, std::move(fovea), clock_, events)) {}

  // One frame. A fovea path that leaves the first frame's picture refuses it, and the clocks stay
  // where they were: the next frame is the first again.
  FrameResult step(const cv::Mat& frame) {
    const FrameClock before = clock_;
    const FrameResult result = session_.step(frame, clock_.timeRead([] {}));
    if (result.refused == FrameRefusal::foveaPathOutside) clock_ = before;
    return result;
  }

  Session& session() { return session_; }
  const Session& session() const { return session_; }
  bool deterministic() const { return clock_.deterministic(); }
  bool recordsEvents() const { return recordEvents_; }

 private:
  static SessionConfig config(const Parameters& parameters, FoveaControl fovea,
                              const FrameClock& clock, bool events) {
    SessionConfig c = sessionConfig(parameters, std::move(fovea), clock);
    c.recordEvents = events;
    return c;
  }

  FrameClock clock_;
  bool recordEvents_ = false;
  Session session_;
};

struct StepperConfig {
  Parameters parameters;
  FoveaControl fovea;
  bool deterministic = true;
  bool recordEvents = true;
};

// A frame's canvas and per-sensor values copied out of the session, for a result that owns them.
struct FrameCopies {
  cv::Mat canvas;
  std::vector<float> activations, gains, konio;

  static FrameCopies of(const FrameResult& out) {
    return {out.canvas.clone(), *out.activations, *out.gains, *out.konio};
  }

  // Writable arrays that own the copies (no second copy). Needs the GIL.
  StepResult arrays() {
    StepResult r;
    r.canvas = ownedImage(std::move(canvas));
    r.activations = ownedFloats(std::move(activations));
    r.gains = ownedFloats(std::move(gains));
    r.konio = ownedFloats(std::move(konio));
    return r;
  }
};

// Read-only views of the session's buffers, which its next step overwrites; `session` keeps
// them alive.
StepResult viewArrays(const FrameResult& out, py::handle session) {
  StepResult r;
  cv::Mat canvas = out.canvas;  // shares the pixels: the capsule below keeps them alive
  const std::vector<py::ssize_t> canvasShape{canvas.rows, canvas.cols, 3};
  const std::vector<py::ssize_t> canvasStrides{static_cast<py::ssize_t>(canvas.step[0]), 3, 1};
  const void* pixels = canvas.data;
  r.canvas = readOnlyView(py::dtype::of<std::uint8_t>(), canvasShape, canvasStrides, pixels,
                          owning(std::move(canvas)));
  const py::dtype f4 = py::dtype::of<float>();
  const auto sensors = static_cast<py::ssize_t>(out.activations->size());
  r.activations = readOnlyView(f4, {sensors}, {4}, out.activations->data(), session);
  r.gains = readOnlyView(f4, {sensors}, {4}, out.gains->data(), session);
  r.konio = readOnlyView(f4, {sensors}, {4}, out.konio->data(), session);
  return r;
}

class PySession {
 public:
  explicit PySession(StepperConfig config)
      : runner_(config.parameters, std::move(config.fovea), config.deterministic,
                config.recordEvents) {}

  // Runs `work` on the runner with the GIL released and the session's lock held: a session
  // steps on one thread at a time, and other Python threads run meanwhile.
  template <class Work>
  void locked(Work&& work) {
    withoutGil([&] {
      const std::lock_guard<std::mutex> lock(mutex_);
      work();
    });
  }

  static StepResult step(const py::object& self, py::handle frameObject,
                         const py::object& copyObject) {
    const bool copy = flagArgument(copyObject, "copy");
    PySession& s = self.cast<PySession&>();
    py::array frameArray;
    const cv::Mat frame = frameMat(frameObject, frameArray);
    std::shared_ptr<EventBuffer> buffer = s.runner_.recordsEvents() ? s.freeBuffer() : nullptr;

    FrameResult out;
    FrameCopies copies;
    py::object previousFrame;  // released after the lock: freeing an array may run Python code
    bool closed = false;
    s.locked([&] {
      closed = s.closed_;
      if (closed) return;
      out = s.runner_.step(frame);
      if (out.refused == FrameRefusal::foveaPathOutside) return;  // the session has not seen it
      if (buffer && out.drawn) s.runner_.session().takeFrameEvents(*buffer);
      // Copied here, before another thread's step can overwrite the session's buffers.
      if (copy && out.drawn) copies = FrameCopies::of(out);
      // The session's state points at the frame's pixels (for its size) until its next frame:
      // keep them alive, set here so that another thread's step cannot come in between. Safe
      // under the lock: no thread waits for it holding the GIL.
      py::gil_scoped_acquire gil;
      previousFrame = std::move(s.lastFrame_);
      s.lastFrame_ = frameArray;
    });
    if (closed) throw std::runtime_error("the session is closed");
    if (out.refused == FrameRefusal::foveaPathOutside) {
      throw py::value_error("fovea_path: " + out.refusal);
    }
    if (!out.drawn) throw py::value_error("frame refused: " + out.refusal);

    StepResult r = copy ? copies.arrays() : viewArrays(out, self);
    if (buffer) {
      const py::capsule keep = owning(buffer);
      const RetinaEvent* first = buffer->data();
      const auto loop = static_cast<py::ssize_t>(out.loopEvents);
      const auto konio = static_cast<py::ssize_t>(buffer->size()) - loop;
      const auto events = [&](const RetinaEvent* from, py::ssize_t count) {
        py::array view(eventDtype(), {count}, {py::ssize_t{sizeof(RetinaEvent)}}, from, keep);
        if (!copy) makeReadOnly(view);  // as the other views are; the buffer is the frame's
        return view;
      };
      r.events = events(first, loop);
      r.konioEvents = events(first + loop, konio);
    } else {
      r.events = r.konioEvents = py::none();
    }
    r.center = py::make_tuple(out.center.cx, out.center.cy);
    r.sampledCenter = py::make_tuple(out.sampledCenter.cx, out.sampledCenter.cy);
    r.frame = out.number;
    r.t = out.captureTime;
    r.frameTimeMs = out.frameTimeMs;
    r.eventsPushed = static_cast<std::int64_t>(out.eventsPushed);
    r.queueSize = static_cast<std::int64_t>(out.queue.size);
    r.queuePeak = static_cast<std::int64_t>(out.queue.peak);
    r.displacedTotal = static_cast<std::int64_t>(out.queue.displaced);
    r.batchesTotal = static_cast<std::int64_t>(out.queue.batches);
    return r;
  }

  void recenter() {
    bool closed = false;
    locked([&] {
      closed = closed_;
      if (!closed) runner_.session().recenter();
    });
    if (closed) throw std::runtime_error("the session is closed");
  }

  void close() {
    locked([&] {
      runner_.session().stop();
      closed_ = true;
    });
    lastFrame_ = py::none();
  }

  // The layout as the export's /retina: built once the first frame has fixed the scale.
  py::object retina() {
    if (!retina_.is_none()) return retina_;
    const Session& session = runner_.session();
    const auto n = static_cast<py::ssize_t>(session.sensorCount());
    py::array rows(retinaDtype(), std::vector<py::ssize_t>{n});
    auto* row = static_cast<RetinaRow*>(rows.mutable_data());
    bool placed = false;
    locked([&] {
      placed = session.placed();
      if (!placed) return;
      const RetinaPlacement placement = session.placement();
      const std::vector<Sensor>& sensors = *placement.sensors;
      const SensorOffsets& offsets = *placement.offsets;
      for (std::size_t i = 0; i < sensors.size(); ++i) {
        const Sensor& s = sensors[i];
        const cv::Point offset = i < offsets.size() ? offsets[i] : cv::Point();
        row[i] = {s.index,
                  s.x,
                  s.y,
                  offset.x,
                  offset.y,
                  discRadius(s),
                  static_cast<std::uint8_t>(s.colorClass),
                  static_cast<std::uint8_t>(s.isSpiral),
                  static_cast<std::uint8_t>(s.isPrime)};
      }
    });
    if (!placed) {
      throw std::runtime_error(
          "the retina's pixel offsets (px, py) are fixed by the first frame: step a frame first");
    }
    makeReadOnly(rows);
    retina_ = rows;
    return retina_;
  }

  py::object retinaScale() {
    bool placed = false;
    float scale = 0.0f;
    locked([&] {
      placed = runner_.session().placed();
      scale = runner_.session().placement().retinaScale;
    });
    if (!placed) return py::none();
    return py::float_(scale);
  }

  py::dict queueStats() {
    EventQueueStats stats;
    locked([&] { stats = runner_.session().queueStats(); });
    py::dict d;
    d["size"] = stats.size;
    d["peak"] = stats.peak;
    d["displaced"] = stats.displaced;
    d["batches"] = stats.batches;
    return d;
  }

  std::size_t sensorCount() const { return runner_.session().sensorCount(); }
  std::int64_t framesDrawn() {
    std::int64_t frames = 0;
    locked([&] { frames = runner_.session().framesDrawn(); });
    return frames;
  }
  bool deterministic() const { return runner_.deterministic(); }
  bool recordsEvents() const { return runner_.recordsEvents(); }
  bool closed() const { return closed_; }

 private:
  // Event storage that no array refers to any longer, or a new one: a frame's events stay valid
  // for as long as Python holds them, and a loop that drops each frame's arrays before the next
  // step reuses the same few buffers (no allocation). Called with the GIL held.
  std::shared_ptr<EventBuffer> freeBuffer() {
    for (const std::shared_ptr<EventBuffer>& buffer : pool_)
      if (buffer.use_count() == 1) return buffer;
    auto fresh = std::make_shared<EventBuffer>();
    if (pool_.size() < kPooledBuffers) pool_.push_back(fresh);
    return fresh;
  }

  static constexpr std::size_t kPooledBuffers = 3;
  std::mutex mutex_;  // held while the runner works, always with the GIL released
  FrameStepper runner_;
  bool closed_ = false;
  std::vector<std::shared_ptr<EventBuffer>> pool_;
  py::object lastFrame_ = py::none();
  py::object retina_ = py::none();
};

// ---------------------------------------------------------------------------------------------
// Frames from files, decoded as retina-replay decodes them

// An image is a regular file whose content an image decoder recognises; anything else is a
// video. A FIFO or a device is never probed: the probe would wait for a writer and take the bytes
// it reads away from the decoder that opens it next.
bool readsAsImage(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return false;
  return cv::haveImageReader(path);
}

InputKind sourceArgument(const std::string& path, const std::string& source) {
  if (source == "video") return InputKind::video;
  if (source == "image") return InputKind::image;
  if (source != "auto") {
    throw py::value_error("source must be 'auto', 'video' or 'image', not '" + source + "'");
  }
  return readsAsImage(path) ? InputKind::image : InputKind::video;
}

// quillaventora.InputEndedEarly, made once when the module is imported and never destroyed (as
// the dtypes are).
const py::object& inputEndedEarly() {
  static const auto* type = new py::object(py::reinterpret_steal<py::object>(
      PyErr_NewExceptionWithDoc("quillaventora.InputEndedEarly", R"doc(
read_frames gave fewer frames than its input holds: the input ended early.

The message says where and why, as retina-replay's warning does ("frame 64 of 270 does not
decode ..." for a damaged or cut clip, "frame 4: 'img_004.png' is missing ..." for an image
sequence with a gap).

Attributes
----------
frame : int
    The first frame that did not come (1 = the input's first).
cause : str
    Why, starting with the frame.
)doc",
                                PyExc_RuntimeWarning, nullptr)));
  return *type;
}

class FrameReader {
 public:
  FrameReader(const py::object& path, const py::object& limit, const std::string& source) {
    InputRequest request;
    request.path = fspath(path);
    request.kind = sourceArgument(request.path, source);
    if (!limit.is_none()) {
      const auto frames = py::cast<std::int64_t>(limit);
      if (frames < 1)
        throw py::value_error("limit must be at least 1, not " + std::to_string(frames));
      request.frameLimit = frames;
    }
    // A still image is one frame; retina-replay repeats it, a caller can step it again.
    if (request.kind == InputKind::image) request.frameLimit = 1;
    std::string problem;
    withoutGil([&] { problem = input_.open(request); });
    if (!problem.empty()) throw py::value_error(problem);
  }

  // Decodes with the GIL released; one thread at a time reads (or closes) the input.
  py::object next() {
    cv::Mat frame;
    withoutGil([&] {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!closed_) input_.read(frame);
      if (frame.empty()) closeLocked();
    });
    if (frame.empty()) {
      warnIfEndedEarly();
      throw py::stop_iteration();
    }
    return ownedImage(std::move(frame));
  }

  void close() {
    withoutGil([&] {
      const std::lock_guard<std::mutex> lock(mutex_);
      closeLocked();
    });
  }

  double framesPerSecond() const { return input_.framesPerSecond(); }
  std::int64_t expectedFrames() const { return input_.expectedFrames(); }
  py::tuple size() const {
    return py::make_tuple(input_.firstFrameSize().width, input_.firstFrameSize().height);
  }
  std::int64_t framesRead() const { return input_.framesRead(); }

 private:
  void closeLocked() {
    if (!closed_) input_.close();
    closed_ = true;
  }

  // Once, at the end of an input that ended before its known end. Raises instead where the
  // warning filter makes warnings errors.
  void warnIfEndedEarly() {
    if (warned_ || input_.endedEarly().empty()) return;
    warned_ = true;
    py::object warning =
        inputEndedEarly()("the input ended early: " + input_.endedEarly() + "; " +
                          std::to_string(input_.framesRead()) + " frames were read");
    warning.attr("frame") = input_.endedEarlyFrame();
    warning.attr("cause") = input_.endedEarly();
    py::module_::import("warnings").attr("warn")(warning);
  }

  std::mutex mutex_;
  FrameInput input_;
  bool closed_ = false;
  bool warned_ = false;
};

// ---------------------------------------------------------------------------------------------
// One clip exported as the command line exports it

// A refusal in export_clip's words: its keywords name the parts of the run.
std::string keywordWords(const Refusal& refusal) {
  const std::string quoted = "'" + refusal.target + "'";
  const auto keyword = [](RunRole role) -> std::string {
    switch (role) {
      case RunRole::configFile:
        return "parameters";
      case RunRole::foveaPathFile:
        return "fovea_path";
      case RunRole::statsFile:
        return "stats";
      case RunRole::input:
        return "input";
      default:
        return "output";
    }
  };
  switch (refusal.kind) {
    case Refusal::Kind::outputIsRunFile:
      return keyword(refusal.role) + " " + quoted + " is the file given as " +
             keyword(refusal.runFile) + "; choose another name";
    case Refusal::Kind::outputIsInputFile:
      return keyword(refusal.role) + " " + quoted +
             " is one of the input's files; choose another "
             "name";
    case Refusal::Kind::outputNamedTwice:
      return "output and stats name the same file, " + quoted;
    default:
      return describeRefusal(refusal, keyword);
  }
}

// export_clip's keywords, checked on the Python side, as a RunSpec.
struct ClipRequest {
  std::string input;
  bool image = false;
  std::string output;
  std::optional<Parameters> parameters;
  std::string configFile;   // parameters were read from this file; empty: given or the defaults
  std::int64_t frames = 0;  // 0: the clip's length, 300 for a still image
  FoveaControl fovea;
  std::string foveaPathFile;
  bool exportGains = false;
  std::string stats;
  bool writerThread = true;
};

RunSpec clipSpec(ClipRequest request) {
  RunSpec runSpec;
  runSpec.input.kind = request.image ? InputKind::image : InputKind::video;
  runSpec.input.path = request.input;
  runSpec.input.frameLimit = request.frames > 0 ? request.frames : request.image ? 300 : 0;
  if (request.parameters) runSpec.parameters = *request.parameters;
  runSpec.configFile = request.configFile;
  runSpec.fovea = std::move(request.fovea);
  runSpec.foveaPathFile = request.foveaPathFile;
  runSpec.deterministic = true;
  runSpec.commandLine = "quillaventora.export_clip";
  runSpec.exportFile = request.output;
  runSpec.exportGains = request.exportGains;
  runSpec.statsFile = request.stats;
  runSpec.exportOnRunThread = !request.writerThread;
  return runSpec;
}

// The exports running now. None may still run when the interpreter has exited and the process's
// static objects go (HDF5's among them): at exit, those of other threads stop before their next
// frame, as SIGTERM stops retina-replay (their outputs finished, completed 0), and the exit waits
// for them. Never destroyed.
struct RunningExports {
  std::mutex mutex;
  std::condition_variable ended;
  int count = 0;
  bool exiting = false;  // under `mutex`
};

RunningExports& runningExports() {
  static auto* exports = new RunningExports;
  return *exports;
}

// Counts one export from its start to its end, however it ends.
class ExportCounted {
 public:
  ExportCounted() : exports_(runningExports()) {
    const std::lock_guard<std::mutex> lock(exports_.mutex);
    ++exports_.count;
  }
  ~ExportCounted() {
    {
      const std::lock_guard<std::mutex> lock(exports_.mutex);
      --exports_.count;
    }
    exports_.ended.notify_all();
  }
  ExportCounted(const ExportCounted&) = delete;
  ExportCounted& operator=(const ExportCounted&) = delete;

  bool exiting() const {
    const std::lock_guard<std::mutex> lock(exports_.mutex);
    return exports_.exiting;
  }

 private:
  RunningExports& exports_;
};

// Called at the interpreter's exit (atexit), while other threads still run.
void stopRunningExports() {
  withoutGil([] {
    RunningExports& exports = runningExports();
    std::unique_lock<std::mutex> lock(exports.mutex);
    exports.exiting = true;
    exports.ended.wait(lock, [&] { return exports.count == 0; });
  });
}

// Runs the clip; returns (outcome, message, frames, input_ended_early), the outcome "done",
// "refused" or "failed". Ctrl-C in the main thread ends the run as SIGINT ends retina-replay
// (outputs finished), then raises KeyboardInterrupt.
py::tuple exportClip(ClipRequest request, bool checkSignals) {
  volatile std::sig_atomic_t stop = 0;
  std::optional<py::error_already_set> interrupted;
  const ExportCounted counted;
  if (counted.exiting()) return py::make_tuple("refused", "the interpreter is exiting", 0, "");
  RunControl control;
  control.stopSignal = &stop;
  // Between frames, while a stream stalls and while a large layout is built: the interpreter's
  // exit stops the run as SIGTERM would, Ctrl-C as SIGINT.
  const auto lookForStops = [&] {
    if (stop == 0 && counted.exiting()) stop = SIGTERM;
    if (checkSignals && stop == 0) {
      py::gil_scoped_acquire gil;
      if (PyErr_CheckSignals() != 0) {
        interrupted.emplace();
        stop = SIGINT;
      }
    }
  };
  control.onFrame = [&](const FrameReport&) {
    lookForStops();
    return FrameAction::carryOn;
  };
  control.onWait = lookForStops;
  control.onLayout = [&](std::int64_t, std::int64_t) { lookForStops(); };
  RunResult result;
  withoutGil([&] { result = run(clipSpec(std::move(request)), control); });
  if (interrupted) throw *interrupted;
  if (result.end == RunEnd::refused) {
    return py::make_tuple("refused", text(keywordWords(*result.refusal)), 0, "");
  }
  std::vector<std::string> failures = result.failures;
  if (result.end == RunEnd::error)
    failures.insert(failures.begin(), "stopped by an error: " + result.error);
  if (runCompleted(result.end))
    failures.insert(failures.end(), result.missed.begin(), result.missed.end());
  std::string message;
  for (const std::string& failure : failures)
    message += (message.empty() ? "" : "; ") + failure;
  return py::make_tuple(message.empty() ? "done" : "failed", text(message), result.frames,
                        text(result.inputEndedEarly));
}

// The C++ side of bench/python_step.py: the same runner as Session, timed in C++ around its
// step, with no Python object made.
class TimedRunner {
 public:
  TimedRunner(const Parameters& parameters, bool events)
      : runner_(parameters, FoveaControl{}, true, events) {}

  double step(py::handle frameObject) {
    py::array keep;
    const cv::Mat frame = frameMat(frameObject, keep);
    const auto start = std::chrono::steady_clock::now();
    const FrameResult result = runner_.step(frame);
    if (result.drawn && runner_.recordsEvents()) runner_.session().takeFrameEvents(events_);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

 private:
  FrameStepper runner_;
  EventBuffer events_;
};

}  // namespace

PYBIND11_MODULE(_quillaventora, m) {
  m.doc() = "The compiled part of quillaventora; import quillaventora instead.";
  quietBackends();  // as the programs do: the module's messages about an input are its own
  py::module_::import("atexit").attr("register")(py::cpp_function(&stopRunningExports));
  // A message that names a file whose name is not UTF-8 reaches Python whole.
  py::register_local_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const py::value_error& error) {
      PyErr_SetObject(PyExc_ValueError, text(error.what()).ptr());
    }
  });
  m.attr("__version__") = RETINA_VERSION;
  m.attr("EVENT_DTYPE") = eventDtype();
  m.attr("RETINA_DTYPE") = retinaDtype();
  // color_class v is COLOR_CLASSES[v]: the retina's own names, in value order.
  py::list colorClasses;
  for (const ColorClassName& c : kColorClassNames)
    colorClasses.append(c.name);
  m.attr("COLOR_CLASSES") = py::tuple(colorClasses);
  m.attr("PHOTORECEPTOR") = static_cast<int>(EventKind::Photoreceptor);
  m.attr("KONIO_INPUT") = static_cast<int>(EventKind::KonioInput);
  m.attr("KONIO_OUTPUT") = static_cast<int>(EventKind::KonioOutput);
  m.attr("FRAME_MARKER") = static_cast<int>(EventKind::FrameMarker);
  m.attr("InputEndedEarly") = inputEndedEarly();

  py::class_<ParameterSection>(m, "ParameterSection",
                               "One section of a Parameters, its keys as attributes.")
      .def("__getattr__",
           [](const ParameterSection& s, const std::string& name) {
             return valueObject(*s.owner, keyNamed(s.name + "." + name));
           })
      .def("__setattr__",
           [](const ParameterSection& s, const std::string& name, py::handle value) {
             setValue(*s.owner, keyNamed(s.name + "." + name), value);
           })
      .def("__dir__",
           [](const ParameterSection& s) {
             std::vector<std::string> names;
             for (const ParameterKey& key : parameterKeys())
               if (key.section == s.name) names.push_back(key.name);
             return names;
           })
      .def("__repr__", [](const ParameterSection& s) {
        std::string text;
        for (const ParameterKey& key : parameterKeys()) {
          if (key.section != s.name) continue;
          text += (text.empty() ? "" : ", ") + std::string(key.name) + "=" +
                  std::string(py::repr(valueObject(*s.owner, key)));
        }
        return "[" + s.name + "] " + text;
      });

  py::class_<Parameters, ParametersPtr> parameters(m, "Parameters", R"doc(
Parameters(values=None)

Every parameter of the retina, the model, the fovea and the drawing, with the program's defaults.

A mapping of every key ('section.key', in file order) to its value, which may be set: each
section of the parameter file is also an attribute and each of its keys an attribute of that,
named as in the file: ``p.retina.spiral_points``, ``p.konio.decay = 0.9``, ``p["konio.decay"]``.
A value is checked when it is set, with the command line's message. What the keys must satisfy
together (a diameter with room for every spiral point, ...) is checked by ``validate()`` and
when a Session or an export starts. ``retina-replay --print-config`` and ``to_toml()`` write the
whole file with every key's meaning, unit and range.

Parameters
----------
values : Mapping, Parameters or None
    Keys ('section.key') to set over the defaults, as ``p.to_dict()`` gives them; a Parameters
    to copy; None for the defaults.

Raises
------
TypeError
    A value of the wrong type (a whole-number key takes an int, the others a real number; bool
    is neither), or a key that is not a string.
ValueError
    A value out of its key's range, naming the key and the range.
KeyError
    An unknown key, with the nearest one (AttributeError for ``p.section.key``).)doc");
  parameters.def(py::init(&parametersFrom), py::arg("values") = py::none())
      .def_static("from_toml", &parametersFromFile, py::arg("path"), R"doc(
Reads a parameter file (TOML) as retina-replay --config does.

Parameters
----------
path : str or os.PathLike
    The file; the keys it leaves out keep their defaults.

Returns
-------
Parameters

Raises
------
ValueError
    With the file's name and the line of the first problem.)doc")
      .def_static("from_toml_string", &parametersFromText, py::arg("text"), R"doc(
Parses a parameter file's text (an export's /parameters attribute toml, say).

Parameters
----------
text : str
    TOML, as from_toml reads it.

Returns
-------
Parameters

Raises
------
ValueError
    With the line of the first problem.)doc")
      .def(
          "to_toml", [](const Parameters& p) { return parametersToToml(p); },
          "Returns the whole parameter file (str): every key with its value and a comment.")
      .def(
          "validate",
          [](const Parameters& p) {
            const ParameterProblem problem = findParameterProblem(p);
            if (!problem.message.empty()) throw py::value_error(problem.message);
          },
          R"doc(
Checks that the values fit together, as a Session does when it starts.

Raises
------
ValueError
    Naming the key, when they do not.)doc")
      .def("changed", &changedParameters,
           "Returns the keys (list of 'section.key') whose values differ from the defaults, in "
           "file order.")
      .def(
          "keys", [](const Parameters&) { return keyPaths(); },
          "Returns every key (list of 'section.key'), in file order.")
      .def(
          "values",
          [](const Parameters& p) {
            py::list values;
            for (const py::handle item : parameterItems(p))
              values.append(item[py::int_(1)]);
            return values;
          },
          "Returns every key's value (list of int and float), in file order.")
      .def("items", &parameterItems,
           "Returns ('section.key', value) of every key (list of tuples), in file order.")
      .def(
          "to_dict", [](const Parameters& p) { return py::dict(parameterItems(p)); },
          "Returns a dict of every key ('section.key') to its value, in file order; "
          "Parameters(d) reads it back.")
      .def(
          "get",
          [](const Parameters& p, const py::object& path, const py::object& fallback) {
            const ParameterKey* key = py::isinstance<py::str>(path)
                                          ? findParameterKey(path.cast<std::string>())
                                          : nullptr;
            return key == nullptr ? fallback : valueObject(p, *key);
          },
          py::arg("key"), py::arg("default") = py::none(),
          R"doc(
The value of one key.

Parameters
----------
key : str
    'section.key'.
default : object
    Returned for a key the parameters do not have.

Returns
-------
int, float or default)doc")
      .def("__iter__", [](const Parameters&) { return py::iter(py::cast(keyPaths())); })
      .def("__len__", [](const Parameters&) { return parameterKeys().size(); })
      .def("__contains__",
           [](const Parameters&, const py::object& path) {
             return py::isinstance<py::str>(path) &&
                    findParameterKey(path.cast<std::string>()) != nullptr;
           })
      .def_property_readonly(
          "sensor_count", [](const Parameters& p) { return fibonacciSensorCount(p.retina); },
          "Sensors the layout makes (30202 with the defaults).")
      .def("__getitem__", [](const Parameters& p,
                             const std::string& path) { return valueObject(p, keyItem(path)); })
      .def("__setitem__", [](Parameters& p, const std::string& path,
                             py::handle value) { setValue(p, keyItem(path), value); })
      .def(
          "__eq__", [](const Parameters& a, const Parameters& b) { return a == b; },
          py::is_operator())
      .def(
          "__ne__", [](const Parameters& a, const Parameters& b) { return a != b; },
          py::is_operator())
      .def(
          "copy", [](const Parameters& p) { return Parameters(p); }, "An independent copy.")
      .def("__copy__", [](const Parameters& p) { return Parameters(p); })
      .def("__deepcopy__", [](const Parameters& p, py::handle) { return Parameters(p); })
      .def("__repr__", &repr)
      .def(py::pickle([](const Parameters& p) { return parametersToToml(p); },
                      [](const std::string& text) { return parametersFromText(text); }));
  parameters.attr("__hash__") = py::none();
  for (const std::string& section : parameterSections()) {
    parameters.def_property_readonly(section.c_str(), [section](const ParametersPtr& p) {
      return ParameterSection{p, section};
    });
  }

  py::class_<StepResult>(m, "StepResult", R"doc(
What one Session.step did.

Attributes
----------
canvas : ndarray of uint8, H x W x 3
    The picture the window shows, BGR.
activations, gains, konio : ndarray of float32, one per sensor
    In the order of Session.retina: each sensor's sample in [0, 1], its gain in (0, 1] and
    the Konio activity in [0, 1]. With step(copy=True), the default, these four and the canvas
    are the result's own, writable; with copy=False read-only views of the session's buffers,
    which its next step overwrites.
events : ndarray of EVENT_DTYPE or None
    Every event the frame pushed, the frame marker (kind FRAME_MARKER) first, as the export's
    /events; None for a session made with events=False. The frame's own either way (read-only
    with copy=False).
konio_events : ndarray of EVENT_DTYPE or None
    The Konio outputs (kind KONIO_OUTPUT) the model pushed meanwhile, as /konio_events
    (src = dst = the unit).
center : (int, int)
    (cx, cy), pixels: the fovea centre the frame was drawn around, after the model moved it.
sampled_center : (int, int)
    (cx, cy), pixels: the centre the frame's sensors were sampled around, so the pixel of every
    event of the frame (sensor i at sampled_center + retina's px, py; to_xytp places them).
frame : int
    1 for the session's first frame.
t : float
    Seconds: the capture time stamped on the frame's events (deterministic: frame / 30).
frame_time_ms : int
    As the overlay shows it.
events_pushed : int
    The frame's events, its marker included.
queue_size, queue_peak, displaced_total, batches_total : int
    The event queue's counters after the frame.)doc")
      .def_readonly("canvas", &StepResult::canvas)
      .def_readonly("activations", &StepResult::activations)
      .def_readonly("gains", &StepResult::gains)
      .def_readonly("konio", &StepResult::konio)
      .def_readonly("events", &StepResult::events)
      .def_readonly("konio_events", &StepResult::konioEvents)
      .def_readonly("center", &StepResult::center)
      .def_readonly("sampled_center", &StepResult::sampledCenter)
      .def_readonly("frame", &StepResult::frame)
      .def_readonly("t", &StepResult::t)
      .def_readonly("frame_time_ms", &StepResult::frameTimeMs)
      .def_readonly("events_pushed", &StepResult::eventsPushed)
      .def_readonly("queue_size", &StepResult::queueSize)
      .def_readonly("queue_peak", &StepResult::queuePeak)
      .def_readonly("displaced_total", &StepResult::displacedTotal)
      .def_readonly("batches_total", &StepResult::batchesTotal)
      .def("__repr__", [](const StepResult& r) {
        return "StepResult(frame=" + std::to_string(r.frame) +
               ", center=" + std::string(py::repr(r.center)) +
               ", events_pushed=" + std::to_string(r.eventsPushed) + ")";
      });

  py::class_<PySession>(m, "Session", R"doc(
Session(parameters=None, deterministic=True, fovea=None, *, fovea_path=None, events=True)

One run of the retina, stepped one frame at a time: the program's own session.

step() releases the GIL; a session steps on one thread at a time. Use it as a context manager,
or call close(), to join the worker thread.

Parameters
----------
parameters : Parameters, str, os.PathLike or None
    A Parameters, a parameter file's path, or None for the defaults.
deterministic : bool
    True runs the model right after each frame's events, on a clock that advances 1/30 s per
    frame, exactly as retina-replay --deterministic: the same frames give the same canvases and
    events, bit for bit. False runs the model on its worker thread as the demo does (batches
    then depend on thread scheduling) and stamps events on the steady clock.
fovea : {'model', 'fixed'} or None
    Who moves the centre: the model (None too) or nobody (it stays where the first frame put it).
fovea_path : str, os.PathLike or None
    A CSV file 'frame,cx,cy' that moves the centre, as retina-replay --fovea-path.
events : bool
    False skips collecting events (StepResult.events is None): docs/performance.md says what
    that saves.

Raises
------
TypeError
    A keyword of the wrong type (deterministic=None, parameters=42), naming it.
ValueError
    Parameters that do not fit together, or a bad fovea or fovea path file.)doc")
      .def(py::init([](const py::object& parameters, const py::object& deterministic,
                       const py::object& fovea, const py::object& foveaPath,
                       const py::object& events) {
             StepperConfig config;
             config.deterministic = flagArgument(deterministic, "deterministic");
             config.recordEvents = flagArgument(events, "events");
             config.parameters = parametersArgument(parameters);
             config.fovea = foveaArgument(fovea, foveaPath);
             return std::make_unique<PySession>(std::move(config));
           }),
           py::arg("parameters") = py::none(), py::arg("deterministic") = true,
           py::arg("fovea") = py::none(), py::kw_only(), py::arg("fovea_path") = py::none(),
           py::arg("events") = true)
      .def("step", &PySession::step, py::arg("frame"), py::kw_only(), py::arg("copy") = true,
           R"doc(
Runs one frame.

The first frame fixes the retina's scale: diameter / 2 retina units span the distance from its
middle to its nearest edge.

Parameters
----------
frame : ndarray
    H x W x 3 uint8 BGR (as OpenCV and read_frames give it), H x W grey or H x W x 4 BGRA;
    uint16 frames are scaled to 8 bits. A crop of a larger array is used in place; other
    strided views are copied.
copy : bool
    True: the result owns its canvas, activations, gains and Konio activity (copies, writable;
    kept results stay as they were). False: those four are read-only views of the session's
    buffers, with no copy, which the next step overwrites: for a loop that is done with each
    result before the next step.

Returns
-------
StepResult

Raises
------
TypeError
    A frame of another dtype, or copy not True or False.
ValueError
    A frame of another shape, an empty one, or one the fovea path leaves.
RuntimeError
    After close().)doc")
      .def("recentre", &PySession::recenter,
           "Puts the fovea centre back in the middle of the frame (the demo's 'r' key).")
      .def("close", &PySession::close,
           "Joins the model's worker thread. Safe to call again; step() then raises "
           "RuntimeError.")
      .def("__enter__", [](const py::object& self) { return self; })
      .def("__exit__",
           [](PySession& s, const py::args&) {
             s.close();
             return false;
           })
      .def_property_readonly("retina", &PySession::retina, R"doc(
The layout, one row per sensor as the export's /retina (ndarray of RETINA_DTYPE, read-only).

Fields: index; x, y (retina units, y downward); px, py (pixels from the fovea centre at the
session's scale); radius (pixels, the disc as drawn); color_class (0 albastru/blue, 1
rosu/red, 2 verde/green, 3 alb_negru/grey); is_spiral, is_prime (0 or 1).

Raises
------
RuntimeError
    Before the first frame, which fixes the scale.)doc")
      .def_property_readonly("retina_scale", &PySession::retinaScale,
                             "Pixels per retina unit, fixed by the first frame; None before.")
      .def_property_readonly("sensor_count", &PySession::sensorCount)
      .def_property_readonly("frames", &PySession::framesDrawn, "Frames stepped so far.")
      .def_property_readonly("deterministic", &PySession::deterministic)
      .def_property_readonly("records_events", &PySession::recordsEvents)
      .def_property_readonly("closed", &PySession::closed)
      .def("queue_stats", &PySession::queueStats,
           "Returns the event queue's counters now (dict of int): size, peak, displaced, "
           "batches.");

  py::class_<FrameReader>(m, "FrameReader", R"doc(
FrameReader(path, limit=None, source='auto')

Frames of a video, an image sequence ('img_%03d.png') or a still image, decoded by the OpenCV
that retina-replay uses, exactly as it decodes them. Iterate over it for H x W x 3 uint8 BGR
arrays that own their pixels; read_frames() makes one, and says what its arguments mean.

Warns
-----
InputEndedEarly
    At the end of an input that ended before its known end.)doc")
      .def(py::init<const py::object&, const py::object&, const std::string&>(), py::arg("path"),
           py::arg("limit") = py::none(), py::arg("source") = "auto")
      .def("__iter__", [](const py::object& self) { return self; })
      .def("__next__", &FrameReader::next)
      .def("close", &FrameReader::close)
      .def("__enter__", [](const py::object& self) { return self; })
      .def("__exit__",
           [](FrameReader& r, const py::args&) {
             r.close();
             return false;
           })
      .def_property_readonly("frames_per_second", &FrameReader::framesPerSecond,
                             "The source's own rate (30 for a still image).")
      .def_property_readonly("expected_frames", &FrameReader::expectedFrames,
                             "Frames it will give at most: the limit or the video's length; 0 "
                             "when neither is known.")
      .def_property_readonly("size", &FrameReader::size, "(width, height) of the first frame.")
      .def_property_readonly("frames_read", &FrameReader::framesRead);

  m.def(
      "_input_kind",
      [](const py::object& path, const std::string& source) {
        return sourceArgument(fspath(path), source) == InputKind::image ? "image" : "video";
      },
      py::arg("path"), py::arg("source"),
      "'image' or 'video': source itself, or for 'auto' 'image' when an image decoder "
      "recognises the file; ValueError for another source.");
  m.attr("_TEMPORARY_MARKER") = kTemporaryMarker;
  m.def(
      "_clear_stale_temporaries",
      [](const py::object& target) {
        const std::string file = fspath(target);
        std::string live;
        withoutGil([&] { live = clearStaleTemporaries(file); });
        return text(live);
      },
      py::arg("target"),
      "Removes the dead runs' hidden temporary files of `target`; returns the name of one a "
      "live run holds, or ''.");
  m.def(
      "_export_clip",
      [](const py::object& input, bool image, const py::object& output,
         const py::object& parameters, std::int64_t frames, const py::object& fovea,
         const py::object& foveaPath, bool exportGains, const py::object& stats, bool checkSignals,
         bool writerThread) {
        ClipRequest request;
        request.input = fspath(input);
        request.image = image;
        request.output = fspath(output);
        if (!parameters.is_none()) {
          request.parameters = parametersArgument(parameters);
          if (isPath(parameters)) request.configFile = fspath(parameters);
        }
        request.frames = frames;
        request.fovea = foveaArgument(fovea, foveaPath);
        if (!foveaPath.is_none()) request.foveaPathFile = fspath(foveaPath);
        request.exportGains = exportGains;
        if (!stats.is_none()) request.stats = fspath(stats);
        request.writerThread = writerThread;
        return exportClip(std::move(request), checkSignals);
      },
      py::arg("input"), py::arg("image"), py::arg("output"), py::arg("parameters"),
      py::arg("frames"), py::arg("fovea"), py::arg("fovea_path"), py::arg("export_gains"),
      py::arg("stats"), py::arg("check_signals"), py::arg("writer_thread"),
      "Runs one clip's export in this process; returns (outcome, message, frames, "
      "input_ended_early). See quillaventora.export_clip.");

  py::class_<TimedRunner>(m, "_TimedCppSession")
      .def(py::init([](const py::object& parameters, bool events) {
             return std::make_unique<TimedRunner>(parametersArgument(parameters), events);
           }),
           py::arg("parameters") = py::none(), py::arg("events") = true)
      .def("step", &TimedRunner::step, py::arg("frame"),
           "Steps the frame; returns the seconds the C++ step took.");
}
