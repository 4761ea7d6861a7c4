#pragma once

// Every parameter of the retina, the model and the drawing: one plain struct made of the parts
// that each library declares beside the code that reads them. A default-constructed Parameters
// holds the program's own values; the session hands each stage its part.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "display/fovea.h"
#include "display/render.h"
#include "model/event_queue.h"
#include "model/konio_layer.h"
#include "model/trn_layer.h"
#include "retina/fibonacci_retina.h"
#include "session/sampling.h"

struct Parameters {
  RetinaLayout retina;
  SamplingParameters sampling;
  QueueParameters queue;
  KonioParameters konio;
  TrnParameters trn;
  FoveaParameters fovea;
  DrawingParameters drawing;
};

// Where one parameter lives in a Parameters: a whole number or a single-precision real.
using ParameterField = std::variant<std::int32_t*, std::size_t*, float*>;

// One parameter as the parameter file names it: key `name` in section [`section`].
struct ParameterKey {
  const char* section;  // "retina"
  const char* name;     // "spiral_points"
  const char* meaning;  // what it does and its unit: the parameter file's comment
  // Inclusive bounds; an infinite bound is no bound (a real must be finite all the same).
  double min;
  double max;
  ParameterField (*field)(Parameters&);

  std::string path() const;  // "retina.spiral_points"
  bool integer() const;      // a whole number (else a single-precision real)
};

// Every parameter, in the order of the parameter file.
const std::vector<ParameterKey>& parameterKeys();

// The section names, in the order of the parameter file.
const std::vector<std::string>& parameterSections();

// The key named "section.key", or nullptr.
const ParameterKey* findParameterKey(const std::string& path);

// The value of `key` in `parameters`. Exact: every value fits a double.
double parameterValue(const Parameters& parameters, const ParameterKey& key);
// Sets `key` to `value`, converted to its type (whole numbers truncate, reals round to single
// precision); call it with a value that checkParameterValue accepts.
void setParameterValue(Parameters& parameters, const ParameterKey& key, double value);

// A value as the parameter file writes it: a whole number, or the shortest decimal that reads
// back as the same single-precision value, with a decimal point or exponent ("5.0", "0.98",
// "1e-07", "nan", "inf").
std::string formatParameterValue(const ParameterKey& key, double value);

// The key's bounds as words: "in [0, 1]", "at least 0" or "any finite number".
std::string parameterRange(const ParameterKey& key);

// Empty when `value` is a finite number within the key's bounds and, for a real, one that single
// precision holds as itself: within +-FLT_MAX, and 0 or at least FLT_MIN in magnitude (so that no
// value becomes infinity or 0; the bounds of the weights, gains and strengths keep their products
// finite as well). Otherwise why not, starting with the key and giving the range ("konio.decay =
// 1.5 is out of range: it must be in [0, 1]").
std::string checkParameterValue(const ParameterKey& key, double value);

// The most sensors a layout may make. A run holds some 80 bytes per sensor (the sensor list, its
// pixel offsets, packed and disc records, the model's and the frame's per-sensor vectors), and a
// frame's events take up to 48 more (two of 24 bytes per sensor). At 128 bytes a sensor this
// bound is 4 GiB, 1100 times the program's retina.
constexpr std::int64_t kMaxSensors = std::int64_t{1} << 25;

// What is wrong with a set of parameters: the key to blame, and the message, which starts with
// it. Both empty when the set is valid.
struct ParameterProblem {
  std::string key;  // "section.key"
  std::string message;
};

// Every value in its range (checkParameterValue), then what the values must satisfy together:
// a diameter with room for every spiral point (each needs a position of its own, so a disc of
// radius diameter / 2 must hold at least spiral_points whole positions), a satellite radius of
// at most the diameter, and at most kMaxSensors sensors.
ParameterProblem findParameterProblem(const Parameters& parameters);
// The same as one message: empty when the parameters are valid.
std::string validateParameters(const Parameters& parameters);

// Every key with the same value in both.
bool operator==(const Parameters& a, const Parameters& b);
bool operator!=(const Parameters& a, const Parameters& b);

// "section.key" of every parameter whose value differs from its default, in file order.
std::vector<std::string> changedParameters(const Parameters& parameters);
