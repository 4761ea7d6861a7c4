// The parameter file: what --print-config writes reads back exactly, and every kind of bad file
// is refused by retina-replay before the run, with its line, touching no file.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "replay_run.h"
#include "session/parameter_file.h"
#include "session/parameters.h"
#include "session/session.h"
#include "temp_dir.h"

namespace {

class ParameterFiles : public TempDirTest {
 protected:
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
};

}  // namespace

TEST(ParameterFile, PrintConfigReadsBackAsTheDefaultsAndAnyChangedSetRoundTrips) {
  const ReplayRun printed = replay({"--print-config"});
  ASSERT_EQ(printed.status, 0) << printed.err;
  EXPECT_EQ(printed.err, "");
  EXPECT_EQ(printed.out, parametersToToml(Parameters{}));
  const ParameterFileResult defaults = parseParameterText(printed.out);
  ASSERT_EQ(defaults.error, "");
  EXPECT_TRUE(defaults.parameters == Parameters{});
  EXPECT_TRUE(changedParameters(defaults.parameters).empty());

  // Every key away from its default, reals that no short decimal writes exactly among them.
  Parameters changed;
  changed.retina = {100000, 400001, 12345, 65535, 0, 2.5f};
  changed.sampling.emitThreshold = 1.0f / 3.0f;
  changed.queue.capacity = 16777216;
  changed.konio = {0.1f, -1e-7f, 9.99e27f, 0.999999f};
  changed.trn = {123.456f, 33554432};
  changed.fovea = {0.0f, 65535, 1e-30f, 7.0f};
  changed.drawing.lowGainThreshold = -0.0625f;
  ASSERT_EQ(validateParameters(changed), "");
  const std::string text = parametersToToml(changed);
  const ParameterFileResult back = parseParameterText(text);
  ASSERT_EQ(back.error, "") << text;
  EXPECT_TRUE(back.parameters == changed) << text;
  EXPECT_EQ(changedParameters(back.parameters).size(), parameterKeys().size());

  // A file that gives one key leaves every other at its default.
  const ParameterFileResult one = parseParameterText("[konio]\ndecay = 0.5 # slower\n");
  ASSERT_EQ(one.error, "");
  EXPECT_EQ(changedParameters(one.parameters), std::vector<std::string>{"konio.decay"});
  EXPECT_EQ(one.parameters.konio.decay, 0.5f);
}

TEST_F(ParameterFiles, EachBadFileIsRefusedBeforeTheRunWithItsLineAndNothingIsWritten) {
  struct Case {
    std::string text;
    std::string message;  // how the line starts after "retina-replay: --config 'FILE': "
  };
  const std::vector<Case> cases{
      {"[konoi]\ndecay = 0.5\n", "line 1: unknown section [konoi] (did you mean [konio]?)\n"},
      {"[konio]\n\ndecy = 0.5\n", "line 3: unknown key konio.decy (did you mean konio.decay?)\n"},
      {"[konio]\nstrength = 3\n",
       "line 2: unknown key konio.strength (did you mean trn.strength?)\n"},
      {"spiral_points = 5\n",
       "line 1: unknown key spiral_points (did you mean retina.spiral_points?)\n"},
      {"[konio]\nfavourite_colour = 3\n", "line 2: unknown key konio.favourite_colour\n"},
      {"[trn]\nstrength = \"strong\"\n", "line 2: trn.strength must be a number, not a string\n"},
      {"[retina]\nspiral_points = 4096.0\n",
       "line 2: retina.spiral_points must be a whole number, not a floating-point number\n"},
      {"retina = 3\n", "line 1: retina must be a section ([retina]), not an integer\n"},
      {"[konio]\ndecay = 1.5\n",
       "line 2: konio.decay = 1.5 is out of range: it must be in [0, 1]\n"},
      {"[queue]\ncapacity = 0\n",
       "line 2: queue.capacity = 0 is out of range: it must be in [1, 16777216]\n"},
      {"[retina]\nspiral_points = 0\n", "line 2: retina.spiral_points = 0 is out of range"},
      {"[retina]\nperipheral_satellites = -1\n",
       "line 2: retina.peripheral_satellites = -1 is out of range"},
      {"[trn]\nstrength = -1\n",
       "line 2: trn.strength = -1 is out of range: it must be in [0, 1e+28]\n"},
      {"[sampling]\nemit_threshold = nan\n",
       "line 2: sampling.emit_threshold = nan is not a finite number\n"},
      {"[drawing]\nlow_gain_threshold = -inf\n",
       "line 2: drawing.low_gain_threshold = -inf is not a finite number\n"},
      {"[retina]\nspiral_points = 5000000\nfoveal_satellites = 6\n",
       "line 2: retina.spiral_points = 5000000 with 6 foveal and 6 peripheral satellites makes "
       "35000000 sensors, more than fit in memory"},
      {"[retina]\ndiameter = 10\n",
       "line 2: retina.diameter = 10 is too small for 4096 spiral points: each needs a whole "
       "position of its own, so it must be at least 73\n"},
      {"[retina]\ndiameter = 100\nsatellite_radius = 101\n",
       "line 3: retina.satellite_radius = 101 is more than the diameter (100)\n"},
      // The key to blame keeps its default, so there is no line to name.
      {"[retina]\nspiral_points = 1\ndiameter = 2\n",
       "retina.satellite_radius = 3 is more than the diameter (2)\n"},
      {"[retina]\nspiral_points = = 3\n", "line 2, column 17: not valid TOML"},
      {"[retina]\nspiral_points = 1\nspiral_points = 2\n", "line 3, column 17: not valid TOML"},
      // The first problem in the file, whatever the order of the keys' names.
      {"[trn]\nstrength = -1\n[konio]\ndecay = 2\n", "line 2: trn.strength = -1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string file = write("bad.toml", c.text);
    const std::map<std::string, std::string> before = contents();
    const ReplayRun run =
        replay({"--config", file, "--frames", "2", "--export", path("run.h5"), "--stats",
                path("run.csv"), "--snapshot", "1:" + path("one.png")});
    EXPECT_EQ(run.status, kReplayUsageError);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("retina-replay: --config '" + file + "': " + c.message, 0), 0u)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(contents() == before) << "a file was written";
  }

  // A file that cannot be read.
  const ReplayRun missing = replay({"--config", path("none.toml")});
  EXPECT_EQ(missing.status, kReplayUsageError);
  EXPECT_EQ(missing.err,
            "retina-replay: --config '" + path("none.toml") + "': No such file or directory\n");
}

// What single precision cannot hold is refused with the key and its range: a weight whose
// products overflow (a prime spiral weight of 3e38 pinned the fovea to a corner), a value that
// becomes 0 (a TRN strength of 1e-50) or loses its digits as a subnormal number.
TEST(ParameterFile, AValueThatSinglePrecisionCannotHoldIsRefusedWithItsRange) {
  const std::string tiny = "it must be 0, or at least 1.1754944e-38 in magnitude";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"[fovea]\nprime_spiral_weight = 3e38\n",
       "line 2: fovea.prime_spiral_weight = 3e+38 is out of range: it must be in [0, 1e+28]"},
      {"[fovea]\nkonio_weight = 1e29\n",
       "line 2: fovea.konio_weight = 1e+29 is out of range: it must be in [0, 1e+28]"},
      {"[konio]\ninput_gain = 1e30\n",
       "line 2: konio.input_gain = 1e+30 is out of range: it must be in [0, 1e+28]"},
      {"[trn]\nstrength = 1e-50\n",
       "line 2: trn.strength = 1e-50 is out of range: single precision holds it as 0; " + tiny +
           " and in [0, 1e+28]"},
      {"[konio]\ndecay = 1e-40\n",
       "line 2: konio.decay = 1e-40 is out of range: single precision holds it as a subnormal "
       "number, its digits lost; " +
           tiny + " and in [0, 1]"},
      {"[sampling]\nemit_threshold = -1e-45\n",
       "line 2: sampling.emit_threshold = -1e-45 is out of range: single precision holds it as "
       "a subnormal number, its digits lost; " +
           tiny},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(parseParameterText(text).error, message) << text;
  }
}

TEST(ParameterSet, AnInvalidSetIsRefusedByTheSessionNamingTheKey) {
  // Built in code rather than read from a file (as a host program would): the session checks.
  Parameters parameters;
  parameters.konio.decay = -0.5f;
  EXPECT_EQ(validateParameters(parameters),
            "konio.decay = -0.5 is out of range: it must be in [0, 1]");
  SessionConfig config;
  config.parameters = parameters;
  try {
    Session session(config);
    ADD_FAILURE() << "the session accepted konio.decay = -0.5";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), validateParameters(parameters));
  }
}

// Each key, set alone to a value of its own in a file, reaches its own field and no other: the
// table below names every field independently of the key table it checks.
TEST(ParameterFile, EveryKeyReachesItsOwnFieldAndNoOther) {
  using Field = std::function<double(const Parameters&)>;
  const std::map<std::string, Field> fields{
      {"retina.spiral_points", [](const Parameters& p) { return p.retina.spiralCount; }},
      {"retina.diameter", [](const Parameters& p) { return p.retina.diameter; }},
      {"retina.foveal_radius", [](const Parameters& p) { return p.retina.fovealRadius; }},
      {"retina.foveal_satellites", [](const Parameters& p) { return p.retina.fovealSatellites; }},
      {"retina.peripheral_satellites",
       [](const Parameters& p) { return p.retina.peripheralSatellites; }},
      {"retina.satellite_radius", [](const Parameters& p) { return p.retina.satelliteRadius; }},
      {"sampling.emit_threshold", [](const Parameters& p) { return p.sampling.emitThreshold; }},
      {"queue.capacity", [](const Parameters& p) { return static_cast<double>(p.queue.capacity); }},
      {"konio.decay", [](const Parameters& p) { return p.konio.decay; }},
      {"konio.input_threshold", [](const Parameters& p) { return p.konio.inputThreshold; }},
      {"konio.input_gain", [](const Parameters& p) { return p.konio.inputGain; }},
      {"konio.output_threshold", [](const Parameters& p) { return p.konio.outputThreshold; }},
      {"trn.strength", [](const Parameters& p) { return p.trn.strength; }},
      {"trn.mask_stride", [](const Parameters& p) { return p.trn.maskStride; }},
      {"fovea.step_fraction", [](const Parameters& p) { return p.fovea.stepFraction; }},
      {"fovea.margin", [](const Parameters& p) { return p.fovea.margin; }},
      {"fovea.prime_spiral_weight", [](const Parameters& p) { return p.fovea.primeSpiralWeight; }},
      {"fovea.konio_weight", [](const Parameters& p) { return p.fovea.konioWeight; }},
      {"drawing.low_gain_threshold",
       [](const Parameters& p) { return p.drawing.lowGainThreshold; }},
  };
  ASSERT_EQ(fields.size(), parameterKeys().size());
  const Parameters defaults;
  for (const ParameterKey& key : parameterKeys()) {
    ASSERT_EQ(fields.count(key.path()), 1u) << key.path();
    // A value of the key's own, inside its range and different from its default.
    const double base = parameterValue(defaults, key);
    const double value = base + 1.0 <= key.max    ? base + 1.0
                         : base - 0.25 >= key.min ? base - 0.25
                                                  : (key.min + base) / 2.0;
    const std::string section = key.section;
    const ParameterFileResult file = parseParameterText("[" + section + "]\n" + key.name + " = " +
                                                        formatParameterValue(key, value) + "\n");
    ASSERT_EQ(file.error, "") << key.path();
    for (const auto& [path, field] : fields) {
      if (path == key.path()) {
        const double stored = key.integer() ? value : static_cast<float>(value);
        EXPECT_EQ(field(file.parameters), stored) << key.path() << " does not reach its field";
      } else {
        EXPECT_EQ(field(file.parameters), field(defaults)) << key.path() << " set " << path;
      }
    }
  }
}
