#include "session/parameter_file.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

#include <toml++/toml.h>

#include "session/text_file.h"

namespace {

constexpr std::size_t kMaxFileBytes = std::size_t{1} << 20;

struct Problem {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::string message;
};

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Close enough to be a slip of the keyboard: two edits, or a third of the name.
bool close(const std::string& given, const std::string& known) {
  return editDistance(given, known) <= std::max<std::size_t>(2, known.size() / 3);
}

std::string sectionSuggestion(const std::string& section) {
  for (const std::string& known : parameterSections())
    if (close(section, known)) return " (did you mean [" + known + "]?)";
  return {};
}

std::string typeText(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string:
      return "a string";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::floating_point:
      return "a floating-point number";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::table:
      return "a table";
    default:
      return "a date or time";
  }
}

std::uint32_t lineOf(const toml::source_region& region) {
  return region.begin.line;
}

// Reads one key's value into `parameters`; a problem when the value does not fit the key.
std::string readValue(const ParameterKey& key, const toml::node& node, Parameters& parameters) {
  double value = 0.0;
  if (const auto* integer = node.as_integer()) {
    value = static_cast<double>(integer->get());
  } else if (const auto* real = node.as_floating_point(); real != nullptr && !key.integer()) {
    value = real->get();
  } else {
    return key.path() + " must be " + (key.integer() ? "a whole number" : "a number") + ", not " +
           typeText(node);
  }
  std::string problem = checkParameterValue(key, value);
  if (problem.empty()) setParameterValue(parameters, key, value);
  return problem;
}

// Every key of one known section.
void readSection(const std::string& section, const toml::table& table, Parameters& parameters,
                 std::vector<std::uint32_t>& keyLines, std::vector<Problem>& problems) {
  for (auto&& [name, node] : table) {
    const std::string path = section + "." + std::string(name.str());
    const std::uint32_t line = lineOf(name.source());
    const ParameterKey* key = findParameterKey(path);
    if (key == nullptr) {
      problems.push_back({line, 0, "unknown key " + path + parameterKeySuggestion(path)});
      continue;
    }
    keyLines[static_cast<std::size_t>(key - parameterKeys().data())] = line;
    std::string problem = readValue(*key, node, parameters);
    if (!problem.empty()) problems.push_back({line, 0, std::move(problem)});
  }
}

std::string located(const Problem& problem) {
  std::string where;
  if (problem.line > 0) where = "line " + std::to_string(problem.line);
  if (problem.column > 0) where += ", column " + std::to_string(problem.column);
  return where.empty() ? problem.message : where + ": " + problem.message;
}

}  // namespace

std::string parameterKeySuggestion(const std::string& path) {
  const std::string name = path.substr(path.rfind('.') + 1);
  const ParameterKey* best = nullptr;
  std::size_t bestDistance = 0;
  for (const ParameterKey& key : parameterKeys()) {
    const std::size_t distance = key.name == name ? 0 : editDistance(path, key.path());
    if (best == nullptr || distance < bestDistance) {
      best = &key;
      bestDistance = distance;
    }
  }
  if (best == nullptr || (best->name != name && !close(path, best->path()))) return {};
  return " (did you mean " + best->path() + "?)";
}

ParameterFileResult parseParameterText(std::string_view text) {
  ParameterFileResult result;
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error& error) {
    std::string description(error.description());
    if (!description.empty()) {
      description[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(description[0])));
    }
    result.error = located(
        {error.source().begin.line, error.source().begin.column, "not valid TOML: " + description});
    return result;
  }

  Parameters parameters;
  std::vector<std::uint32_t> keyLines(parameterKeys().size(), 0);  // 0: not in the file
  std::vector<Problem> problems;
  const std::vector<std::string>& sections = parameterSections();
  for (auto&& [name, node] : root) {
    const std::string section(name.str());
    const std::uint32_t line = lineOf(name.source());
    const bool known = std::find(sections.begin(), sections.end(), section) != sections.end();
    if (known && node.is_table()) {
      readSection(section, *node.as_table(), parameters, keyLines, problems);
    } else if (known) {
      problems.push_back(
          {line, 0, section + " must be a section ([" + section + "]), not " + typeText(node)});
    } else if (node.is_table()) {
      problems.push_back(
          {line, 0, "unknown section [" + section + "]" + sectionSuggestion(section)});
    } else {
      problems.push_back({line, 0, "unknown key " + section + parameterKeySuggestion(section)});
    }
  }
  if (!problems.empty()) {
    result.error = located(
        *std::min_element(problems.begin(), problems.end(), [](const Problem& a, const Problem& b) {
          return a.line != b.line ? a.line < b.line : a.message < b.message;
        }));
    return result;
  }

  const ParameterProblem problem = findParameterProblem(parameters);
  if (!problem.message.empty()) {
    const ParameterKey* key = findParameterKey(problem.key);
    const std::uint32_t line =
        key != nullptr ? keyLines[static_cast<std::size_t>(key - parameterKeys().data())] : 0;
    result.error = located({line, 0, problem.message});
    return result;
  }
  result.parameters = parameters;
  return result;
}

ParameterFileResult readParameterFile(const std::string& path) {
  std::string text;
  const std::string problem = readTextFile(path, kMaxFileBytes, text);
  if (!problem.empty()) {
    ParameterFileResult result;
    result.error = problem;
    return result;
  }
  return parseParameterText(text);
}

std::string parametersToToml(const Parameters& parameters) {
  const Parameters defaults;
  std::string text =
      "# Parameters of the retina, the model and the drawing, as retina-replay --print-config\n"
      "# writes them. Give any of the keys; every other one keeps its default. Load with\n"
      "#   retina-replay --config FILE\n"
      "# Retina units are the layout's own; pixels are the frame's.\n";
  std::string section;
  for (const ParameterKey& key : parameterKeys()) {
    if (key.section != section) {
      section = key.section;
      text += "\n[" + section + "]\n";
    }
    std::string range = parameterRange(key);
    range[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(range[0])));
    const std::string comment = std::string(key.meaning) + "\n" + range + "; default " +
                                formatParameterValue(key, parameterValue(defaults, key)) + ".";
    std::size_t start = 0;
    while (start <= comment.size()) {
      const std::size_t end = std::min(comment.find('\n', start), comment.size());
      text += "# " + comment.substr(start, end - start) + "\n";
      start = end + 1;
    }
    text += std::string(key.name) + " = " +
            formatParameterValue(key, parameterValue(parameters, key)) + "\n";
  }
  return text;
}
