#pragma once

// The parameter file: TOML (read through toml++) with one section per part of Parameters,
// [retina], [sampling], [queue], [konio], [trn], [fovea] and [drawing], and one key per
// parameter, named as in parameterKeys(). A file may give any of the keys; the others keep their
// defaults. parametersToToml writes the whole file, every key with its comment; read back, it
// gives the same parameters exactly.

#include <string>
#include <string_view>

#include "session/parameters.h"

struct ParameterFileResult {
  Parameters parameters;  // the file's values over the defaults; all defaults on an error
  std::string error;      // empty when the file is valid
};

// Parses a parameter file's text. The error, when there is one, is the first problem in file
// order, with its line ("line 7: unknown key konio.decy (did you mean konio.decay?)"), or with
// line and column for a TOML syntax error: an unknown section or key (with the nearest known
// one when it is close), a value of the wrong type, out of its range or not finite, and values
// that do not fit together (findParameterProblem; the line is that of the key to blame, when
// the file gives it).
ParameterFileResult parseParameterText(std::string_view text);

// Reads the file at `path` and parses it. A file that cannot be read, a directory and a file
// over 1 MiB (no parameter file is that long) give their cause instead (readTextFile).
ParameterFileResult readParameterFile(const std::string& path);

// " (did you mean retina.spiral_points?)" for an unknown key: the known key nearest to `path`
// ("section.key"), or the one of that name in another section; empty when none is close.
std::string parameterKeySuggestion(const std::string& path);

// The whole file: a header, then every section and key with its value, each after a comment
// that says what it does, its unit, its range and its default.
std::string parametersToToml(const Parameters& parameters = {});
