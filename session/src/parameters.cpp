#include "session/parameters.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr double kUnbounded = HUGE_VAL;
constexpr double kMaxDiameter = 1 << 30;  // retina units; positions stay far inside 32 bits
constexpr double kMaxSatellites = 65535;  // per spiral point
constexpr double kMaxPixels = 65535;      // beyond any frame the passes can place sensors on
constexpr double kMaxCapacity = 1 << 24;  // events: a ring of 400 MB and a drain buffer as large
constexpr double kPi = 3.14159265358979323846;
// The most a weight, gain or strength may be, so that single precision holds every product it
// takes part in: the largest value it multiplies is a pixel coordinate (below 2^31), a sensor's
// summed event weights in one model batch (at most twice the queue's capacity, 2^25) or a Konio
// unit's summed input (2^24); two such weights summed, times 2^31, stay below FLT_MAX (3.4e38).
constexpr double kMaxFactor = 1e28;

// Keys in file order. The meanings are the file's comments: what the value does, its unit.
const std::vector<ParameterKey> kKeys = {
    {"retina", "spiral_points",
     "Points on the golden-angle spiral; each carries a blue sensor and a ring of satellites.", 1,
     static_cast<double>(kMaxSensors),
     [](Parameters& p) -> ParameterField { return &p.retina.spiralCount; }},
    {"retina", "diameter",
     "Retina units across the spiral: its last point lies diameter / 2 from the centre, and\n"
     "diameter / 2 units span the distance from the frame's middle to its nearest edge. Each\n"
     "point needs a whole position of its own: a disc this wide must hold spiral_points of them.",
     1, kMaxDiameter, [](Parameters& p) -> ParameterField { return &p.retina.diameter; }},
    {"retina", "foveal_radius",
     "Retina units from the centre within which a spiral point gets the foveal satellites.", 0,
     kMaxDiameter, [](Parameters& p) -> ParameterField { return &p.retina.fovealRadius; }},
    {"retina", "foveal_satellites", "Red and green satellites around each foveal point (0: none).",
     0, kMaxSatellites, [](Parameters& p) -> ParameterField { return &p.retina.fovealSatellites; }},
    {"retina", "peripheral_satellites",
     "Black-and-white satellites around each other point (0: none).", 0, kMaxSatellites,
     [](Parameters& p) -> ParameterField { return &p.retina.peripheralSatellites; }},
    {"retina", "satellite_radius",
     "Retina units from a satellite to its spiral point (whole units after truncation; at\n"
     "most the diameter).",
     0, kMaxDiameter, [](Parameters& p) -> ParameterField { return &p.retina.satelliteRadius; }},
    {"sampling", "emit_threshold",
     "A sensor sends an event when its gain times its activation (each in [0, 1]) exceeds this.",
     -kUnbounded, kUnbounded,
     [](Parameters& p) -> ParameterField { return &p.sampling.emitThreshold; }},
    {"queue", "capacity",
     "Events the queue between the frame loop and the model holds; a push onto a full queue\n"
     "displaces the oldest event.",
     1, kMaxCapacity, [](Parameters& p) -> ParameterField { return &p.queue.capacity; }},
    {"konio", "decay",
     "Share of its activity a Konio unit keeps per model batch without enough input.", 0, 1,
     [](Parameters& p) -> ParameterField { return &p.konio.decay; }},
    {"konio", "input_threshold",
     "A unit rises when its summed input in a batch (the weights of its Konio input events)\n"
     "exceeds this.",
     -kUnbounded, kUnbounded,
     [](Parameters& p) -> ParameterField { return &p.konio.inputThreshold; }},
    {"konio", "input_gain", "Share of the summed input added to the activity, which stops at 1.", 0,
     kMaxFactor, [](Parameters& p) -> ParameterField { return &p.konio.inputGain; }},
    {"konio", "output_threshold",
     "A unit sends a Konio output event (its drive of the TRN stage) while its activity exceeds\n"
     "this.",
     -kUnbounded, kUnbounded,
     [](Parameters& p) -> ParameterField { return &p.konio.outputThreshold; }},
    {"trn", "strength",
     "Inhibition: a sensor's gain is 1 / (1 + strength x |its weights in a batch - its Konio\n"
     "drive|).",
     0, kMaxFactor, [](Parameters& p) -> ParameterField { return &p.trn.strength; }},
    {"trn", "mask_stride",
     "Sensors 0, mask_stride, 2 x mask_stride, ... also feed their weight to the Konio stage.", 1,
     static_cast<double>(kMaxSensors),
     [](Parameters& p) -> ParameterField { return &p.trn.maskStride; }},
    {"fovea", "step_fraction",
     "Share of the offset between the frame's middle and the weighted centroid of the visible\n"
     "sensors that the model moves the fovea centre per frame.",
     0, 1, [](Parameters& p) -> ParameterField { return &p.fovea.stepFraction; }},
    {"fovea", "margin", "Pixels the model keeps the fovea centre from every frame edge.", 0,
     kMaxPixels, [](Parameters& p) -> ParameterField { return &p.fovea.margin; }},
    {"fovea", "prime_spiral_weight",
     "A sensor's weight in the centroid is its brightness (0 to 1), times this for a prime\n"
     "spiral sensor, ...",
     0, kMaxFactor, [](Parameters& p) -> ParameterField { return &p.fovea.primeSpiralWeight; }},
    {"fovea", "konio_weight", "... plus this times its Konio activity (0 to 1).", 0, kMaxFactor,
     [](Parameters& p) -> ParameterField { return &p.fovea.konioWeight; }},
    {"drawing", "low_gain_threshold", "A sensor whose gain is below this gets a red ring.",
     -kUnbounded, kUnbounded,
     [](Parameters& p) -> ParameterField { return &p.drawing.lowGainThreshold; }},
};

// A number in a message: whole numbers without a fraction, others as short as they read back.
std::string formatNumber(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[40];
  if (value == std::floor(value) && std::fabs(value) < 1e18) {
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

// The shortest decimal that reads back as the same single-precision value.
std::string formatSingle(float single) {
  char text[40];
  for (int digits = 1; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(single));
    if (static_cast<float>(std::strtod(text, nullptr)) == single) break;
  }
  return text;
}

// The narrowest diameter whose disc has room for `points` whole positions (pi d^2 / 4 of them).
std::int64_t smallestDiameter(std::int64_t points) {
  const auto room = [](std::int64_t d) {
    return kPi * static_cast<double>(d) * static_cast<double>(d) / 4.0;
  };
  auto d = static_cast<std::int64_t>(std::sqrt(4.0 * static_cast<double>(points) / kPi));
  while (d > 1 && room(d - 1) >= static_cast<double>(points))
    --d;
  while (room(d) < static_cast<double>(points))
    ++d;
  return d;
}

}  // namespace

std::string parameterRange(const ParameterKey& key) {
  const bool low = std::isfinite(key.min), high = std::isfinite(key.max);
  if (low && high) return "in [" + formatNumber(key.min) + ", " + formatNumber(key.max) + "]";
  if (low) return "at least " + formatNumber(key.min);
  if (high) return "at most " + formatNumber(key.max);
  return "any finite number";
}

std::string ParameterKey::path() const {
  return std::string(section) + "." + name;
}

bool ParameterKey::integer() const {
  Parameters scratch;
  return !std::holds_alternative<float*>(field(scratch));
}

const std::vector<ParameterKey>& parameterKeys() {
  return kKeys;
}

const std::vector<std::string>& parameterSections() {
  static const std::vector<std::string> sections = [] {
    std::vector<std::string> names;
    for (const ParameterKey& key : kKeys)
      if (names.empty() || names.back() != key.section) names.push_back(key.section);
    return names;
  }();
  return sections;
}

const ParameterKey* findParameterKey(const std::string& path) {
  for (const ParameterKey& key : kKeys)
    if (key.path() == path) return &key;
  return nullptr;
}

double parameterValue(const Parameters& parameters, const ParameterKey& key) {
  // The accessor hands out a pointer to write through; here it is only read.
  const ParameterField field = key.field(const_cast<Parameters&>(parameters));
  return std::visit([](auto* value) { return static_cast<double>(*value); }, field);
}

void setParameterValue(Parameters& parameters, const ParameterKey& key, double value) {
  std::visit([value](auto* field) { *field = static_cast<std::decay_t<decltype(*field)>>(value); },
             key.field(parameters));
}

std::string formatParameterValue(const ParameterKey& key, double value) {
  if (key.integer() || !std::isfinite(value)) return formatNumber(value);
  std::string written = formatSingle(static_cast<float>(value));
  // A TOML float needs a fraction or an exponent: "5" would read back as an integer.
  if (written.find_first_of(".en") == std::string::npos) written += ".0";
  return written;
}

std::string checkParameterValue(const ParameterKey& key, double value) {
  const std::string named = key.path() + " = " + formatNumber(value);
  if (!std::isfinite(value)) return named + " is not a finite number";
  if (value < key.min || value > key.max) {
    return named + " is out of range: it must be " + parameterRange(key);
  }
  if (key.integer()) return {};
  const auto single = static_cast<float>(value);
  if (!std::isfinite(single)) {
    return named + " is beyond single precision: it must lie within +-" + formatNumber(FLT_MAX);
  }
  // A value that single precision holds as 0, or only as a subnormal number with its digits
  // lost, is not the value asked for.
  if (value != 0.0 && std::fabs(single) < FLT_MIN) {
    const std::string range = parameterRange(key);
    return named + " is out of range: single precision holds it as " +
           (single == 0.0f ? "0" : "a subnormal number, its digits lost") +
           "; it must be 0, or at least " + formatSingle(FLT_MIN) + " in magnitude" +
           (std::isfinite(key.min) || std::isfinite(key.max) ? " and " + range : "");
  }
  return {};
}

ParameterProblem findParameterProblem(const Parameters& parameters) {
  for (const ParameterKey& key : kKeys) {
    std::string message = checkParameterValue(key, parameterValue(parameters, key));
    if (!message.empty()) return {key.path(), message};
  }
  const RetinaLayout& r = parameters.retina;
  const std::int64_t diameter = smallestDiameter(r.spiralCount);
  if (r.diameter < diameter) {
    return {"retina.diameter", "retina.diameter = " + std::to_string(r.diameter) +
                                   " is too small for " + std::to_string(r.spiralCount) +
                                   " spiral points: each needs a whole position of its own, so "
                                   "it must be at least " +
                                   std::to_string(diameter)};
  }
  if (r.satelliteRadius > static_cast<float>(r.diameter)) {
    return {"retina.satellite_radius",
            "retina.satellite_radius = " + formatNumber(r.satelliteRadius) +
                " is more than the diameter (" + std::to_string(r.diameter) + ")"};
  }
  const std::int64_t sensors = fibonacciSensorCount(r);
  if (sensors > kMaxSensors) {
    return {"retina.spiral_points", "retina.spiral_points = " + std::to_string(r.spiralCount) +
                                        " with " + std::to_string(r.fovealSatellites) +
                                        " foveal and " + std::to_string(r.peripheralSatellites) +
                                        " peripheral satellites makes " + std::to_string(sensors) +
                                        " sensors, more than fit in memory: a run holds at most " +
                                        std::to_string(kMaxSensors) +
                                        " (some 128 bytes each, 4 GiB)"};
  }
  return {};
}

std::string validateParameters(const Parameters& parameters) {
  return findParameterProblem(parameters).message;
}

bool operator==(const Parameters& a, const Parameters& b) {
  for (const ParameterKey& key : kKeys)
    if (!(parameterValue(a, key) == parameterValue(b, key))) return false;
  return true;
}

bool operator!=(const Parameters& a, const Parameters& b) {
  return !(a == b);
}

std::vector<std::string> changedParameters(const Parameters& parameters) {
  const Parameters defaults;
  std::vector<std::string> changed;
  for (const ParameterKey& key : kKeys) {
    if (!(parameterValue(parameters, key) == parameterValue(defaults, key))) {
      changed.push_back(key.path());
    }
  }
  return changed;
}
