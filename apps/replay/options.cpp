#include "apps/replay/options.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <limits>
#include <set>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "run/version.h"
#include "session/parameter_file.h"

namespace {

enum class Number { ok, invalid, tooLarge };

// A whole number from 1 to `most`, digits only.
Number parsePositive(const std::string& text, std::int64_t& value, std::int64_t most) {
  std::int64_t parsed = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return Number::invalid;
  }
  // Digits only: out of range is the one failure left.
  if (std::from_chars(text.data(), text.data() + text.size(), parsed).ec != std::errc() ||
      parsed > most) {
    return Number::tooLarge;
  }
  if (parsed == 0) return Number::invalid;
  value = parsed;
  return Number::ok;
}

bool parsePositive(const std::string& text, std::int64_t& value) {
  return parsePositive(text, value, std::numeric_limits<std::int64_t>::max()) == Number::ok;
}

std::string tooLarge(const std::string& option, const std::string& value) {
  return option + " " + value + " is too large: at most " + std::to_string(kMostFrames) +
         " frames (the export numbers them with 32-bit integers)";
}

// What each option's value must be, for the message that refuses another.
std::string valueWanted(const std::string& option) {
  if (option == "--video" || option == "--image") return "a file name";
  if (option == "--camera") return "a device index (0, 1, ...)";
  if (option == "--size") return "WIDTHxHEIGHT in pixels (1 to 16384 each)";
  if (option == "--frames") return "a positive whole number";
  if (option == "--snapshot") return "N:FILE.png with N a positive frame number";
  if (option == "--out") return "a file name ending in .avi";
  if (option == "--export") return "a file name ending in .h5";
  if (option == "--stats") return "a file name ending in .csv";
  return "a value";
}

std::string needs(const std::string& option, const std::string& value) {
  return option + " needs " + valueWanted(option) + ", not '" + value + "'";
}

bool parseSize(const std::string& text, cv::Size& size) {
  const std::size_t x = text.find('x');
  std::int64_t w = 0, h = 0;
  if (x == std::string::npos || !parsePositive(text.substr(0, x), w) ||
      !parsePositive(text.substr(x + 1), h) || w > 16384 || h > 16384) {
    return false;
  }
  size = cv::Size(static_cast<int>(w), static_cast<int>(h));
  return true;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  if (text.size() <= suffix.size()) return false;  // a bare ".png" names no file
  std::string tail = text.substr(text.size() - suffix.size());
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return tail == suffix;
}

const char* sourceOption(InputKind source) {
  switch (source) {
    case InputKind::video:
      return "--video";
    case InputKind::image:
      return "--image";
    case InputKind::camera:
      return "--camera";
    case InputKind::synthetic:
      break;
  }
  return "the synthetic scene";
}

// What the options say together (`given`: the options on the line); empty when they fit.
std::string checkCombination(const ReplayCommand& c, const std::set<std::string>& given) {
  const RunSpec& s = c.runSpec;
  if (given.count("--fovea") > 0 && !c.foveaPathFile.empty()) {
    return "give --fovea or --fovea-path, not both: a path moves the centre by itself";
  }
  if (given.count("--size") > 0 && s.input.kind != InputKind::synthetic) {
    return std::string("--size sets the synthetic scene's size; it does not apply to ") +
           sourceOption(s.input.kind) + ", whose frames keep their own size";
  }
  if (s.exportGains && s.exportFile.empty()) return "--export-gains needs --export FILE.h5";
  if (c.fast && c.headless) return "--fast unpaces a window; a headless run is never paced";
  if (c.fast && s.input.kind == InputKind::camera) {
    return "--fast does not apply to --camera, which delivers frames at its own rate";
  }
  std::set<std::string> paths;
  for (const SnapshotSpec& shot : s.snapshots) {
    if (!paths.insert(shot.path).second) return "--snapshot names '" + shot.path + "' twice";
    const std::int64_t limit = frameLimit(c);
    if (limit > 0 && shot.frame > limit) {
      return "--snapshot frame " + std::to_string(shot.frame) + " is beyond the last frame (" +
             std::to_string(limit) + ")";
    }
  }
  return {};
}

// A refusal from a value or repetition rule, thrown out of the parse at the option that broke it.
struct OptionRefusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The option table: every option's names, value, section and help, each with the check and the
// field its value goes to. `given` collects the options met, for the rules on repeats and on
// what the options say together.
class OptionTable {
 public:
  OptionTable(CLI::App& app, ReplayCommand& command) : app_(app), c_(command) {}

  void declare();
  const std::set<std::string>& given() const { return given_; }

 private:
  using Apply = std::function<std::string(const std::string& value)>;

  void valued(const std::string& name, const std::string& text, const std::string& group,
              const std::string& help, Apply apply) {
    app_.add_option_function<std::string>(
            name, [this, name, apply](const std::string& v) { take(name, v, apply); }, help)
        ->option_text(text)
        ->group(group)
        ->trigger_on_parse();
  }

  void flag(const std::string& names, bool& field, const std::string& group,
            const std::string& help) {
    const std::string name = names.substr(names.find("--"));  // "-h,--help": --help
    app_.add_flag_callback(
            names,
            [this, name, &field] {
              // A repeated flag is as likely a slip.
              if (!given_.insert(name).second) {
                throw OptionRefusal(name + " is given twice; give it once");
              }
              field = true;
            },
            help)
        ->group(group)
        ->trigger_on_parse();
  }

  void take(const std::string& option, const std::string& v, const Apply& apply) {
    const bool source = option == "--video" || option == "--image" || option == "--camera";
    if (source && !firstSource_.empty() && firstSource_ != option) {
      throw OptionRefusal("give at most one of --video, --image and --camera");
    }
    if (source) firstSource_ = option;
    // Only --snapshot adds up; a second value of any other option would silently win.
    if (option != "--snapshot" && !given_.insert(option).second) {
      throw OptionRefusal(option + " is given twice; give it once");
    }
    // A value is never read as an option, nor an option as a value: "--image -h" lacks its file.
    if (!v.empty() && v[0] == '-') {
      const bool fileName = option != "--camera" && option != "--size" && option != "--frames" &&
                            option != "--snapshot";
      throw OptionRefusal(needs(option, v) + (fileName ? "; a file whose name starts with '-' "
                                                         "can be given as ./" +
                                                             v
                                                       : ""));
    }
    const std::string problem = apply(v);
    if (!problem.empty()) throw OptionRefusal(problem);
  }

  void declareInput();
  void declareRun();
  void declareOutputs();

  CLI::App& app_;
  ReplayCommand& c_;
  std::set<std::string> given_;
  std::string firstSource_;
};

void OptionTable::declare() {
  declareInput();
  declareRun();
  declareOutputs();
}

void OptionTable::declareInput() {
  const std::string input = "Input (at most one; default: the synthetic scene)";
  InputRequest& in = c_.runSpec.input;
  const auto file = [&in](InputKind kind, const std::string& option) {
    return [&in, kind, option](const std::string& v) {
      if (v.empty()) return option + " needs a file name";
      in.path = v;
      in.kind = kind;
      return std::string();
    };
  };
  valued("--video", "FILE", input,
         "a video, or anything else OpenCV's VideoCapture opens (an image sequence\n"
         "such as img_%03d.jpg, a stream URL, a GStreamer pipeline), until it ends;\n"
         "a path that exists is always read as a file, whatever it holds (!, %)",
         file(InputKind::video, "--video"));
  valued("--image", "FILE", input, "an image file, repeated for every frame",
         file(InputKind::image, "--image"));
  valued("--camera", "N", input, "camera device N, until ESC or the camera stops",
         [&in](const std::string& v) {
           std::int64_t index = 0;
           if (v != "0" && (!parsePositive(v, index) || index > 1000)) return needs("--camera", v);
           in.cameraIndex = static_cast<int>(index);
           in.kind = InputKind::camera;
           return std::string();
         });
  valued("--size", "WxH", input,
         "size of the synthetic scene (default: 1280x720); synthetic scene only",
         [&in](const std::string& v) {
           return parseSize(v, in.sceneSize) ? std::string() : needs("--size", v);
         });
}

void OptionTable::declareRun() {
  const std::string run = "Run";
  valued("--frames", "N", run,
         "stop after N frames, at most 2147483647 (default: 300 for the synthetic\n"
         "scene and an image, the whole video, no limit for a camera)",
         [this](const std::string& v) {
           const Number number = parsePositive(v, c_.frames, kMostFrames);
           if (number == Number::tooLarge) return tooLarge("--frames", v);
           return number == Number::ok ? std::string() : needs("--frames", v);
         });
  flag("--fast", c_.fast, run,
       "in a window, show each frame as soon as it is drawn (default: at the\n"
       "source's rate: a video's own, 30 fps for an image and the synthetic scene;\n"
       "a camera keeps its own pace and a headless run is never paced)");
  flag("--deterministic", c_.runSpec.deterministic, run,
       "no worker thread: right after each frame's events are pushed, the main\n"
       "thread runs exactly one worker iteration, and every clock reading comes\n"
       "from a frame clock that advances by 1/30 s per frame read. Two runs on\n"
       "the same input then draw identical canvases. Live (the default), the\n"
       "worker drains the queue whenever the thread scheduler lets it, so how the\n"
       "events split into batches, and with it the gains, differs from run to\n"
       "run. The summary always reports real timings. (default: off)");
  const std::string parameters = "Parameters and fovea";
  valued("--config", "FILE", parameters,
         "the retina's, the model's, the fovea's and the drawing's parameters from\n"
         "a TOML file; the keys it leaves out keep their defaults. A bad file is\n"
         "refused before the run with its line (default: the program's own values)",
         [this](const std::string& v) {
           if (v.empty()) return std::string("--config needs a file name");
           c_.configPath = v;
           return std::string();
         });
  flag("--print-config", c_.printConfig, parameters,
       "write every parameter (the defaults, or those of --config) as a commented\n"
       "TOML file to standard output and stop: --print-config > my.toml, edit,\n"
       "--config my.toml");
  valued("--fovea", "MODE", parameters,
         "model: the model moves the fovea centre (default); fixed: the centre\n"
         "stays where the first frame placed it (r still recentres it)",
         [this](const std::string& v) {
           if (v != "model" && v != "fixed") {
             return "--fovea takes model or fixed (a scripted path is --fovea-path FILE.csv), "
                    "not '" +
                    v + "'";
           }
           c_.runSpec.fovea.mode = v == "fixed" ? FoveaMode::fixed : FoveaMode::model;
           return std::string();
         });
  valued("--fovea-path", "FILE.csv", parameters,
         "a scripted fovea: after the header frame,cx,cy, one line per move (frame\n"
         "from 1, strictly increasing; centre in pixels); from each listed frame the\n"
         "centre holds its position until the next. A position outside the input's\n"
         "first frame is refused before the run (default: none)",
         [this](const std::string& v) {
           if (!endsWith(v, ".csv")) {
             return std::string(
                 "--fovea-path reads a CSV file of frame,cx,cy; give it a name ending in .csv");
           }
           c_.foveaPathFile = v;
           c_.runSpec.fovea.mode = FoveaMode::path;
           return std::string();
         });
}

void OptionTable::declareOutputs() {
  const std::string output = "Output";
  RunSpec& s = c_.runSpec;
  flag("--headless", c_.headless, output,
       "no window and no keys (default: off; on by itself, with a notice, when no\n"
       "X server answers at DISPLAY)");
  flag("--check-display", c_.checkDisplay, output,
       "say whether a window can open here, and stop: status 0 when an X server\n"
       "answers at DISPLAY, else why not on standard error and status 1");
  const auto file = [](std::string& field, const std::string& suffix, const std::string& refusal) {
    return [&field, suffix, refusal](const std::string& v) {
      if (!endsWith(v, suffix) && !(suffix == ".h5" && endsWith(v, ".hdf5"))) return refusal;
      field = v;
      return std::string();
    };
  };
  valued("--out", "FILE.avi", output,
         "record every canvas as MJPG AVI at the source's rate (default: none)",
         file(s.recording, ".avi", "--out writes an MJPG AVI file; give it a name ending in .avi"));
  valued("--snapshot", "N:FILE.png", output,
         "write the canvas of frame N (1 = the first) as PNG; may be given more\n"
         "than once (default: none)",
         [&s](const std::string& v) {
           SnapshotSpec shot;
           const std::size_t colon = v.find(':');
           const Number number = colon == std::string::npos
                                     ? Number::invalid
                                     : parsePositive(v.substr(0, colon), shot.frame, kMostFrames);
           if (number == Number::tooLarge) return tooLarge("--snapshot frame", v.substr(0, colon));
           if (number != Number::ok || !endsWith(v.substr(colon + 1), ".png")) {
             return needs("--snapshot", v);
           }
           shot.path = v.substr(colon + 1);
           s.snapshots.push_back(shot);
           return std::string();
         });
  valued("--export", "FILE.h5", output,
         "write the run's data as HDF5: the retina, a row per frame, every event\n"
         "pushed and every Konio output (default: none)",
         file(s.exportFile, ".h5", "--export writes an HDF5 file; give it a name ending in .h5"));
  flag("--export-gains", s.exportGains, output,
       "with --export, also every frame's gains and Konio activity\n"
       "(one value per sensor each, per frame) (default: off)");
  valued("--stats", "FILE.csv", output,
         "write a line per frame: stage times, events, queue counters, fovea\n"
         "centre, frame time, resident memory (default: none)",
         file(s.statsFile, ".csv", "--stats writes a CSV file; give it a name ending in .csv"));
  flag("-h,--help", c_.help, output, "this text");
  flag("--version", c_.version, output, "the tool's name and version");
}

constexpr char kDescription[] =
    "Runs the retina demo's own frame loop, stages and model on a video, an image, a camera or a\n"
    "built-in synthetic scene, in the demo's window or headless, and prints a timing summary.";

constexpr char kFooter[] =
    R"(Every option but --snapshot may be given once. A value never starts with '-' (give such a file
as ./-name), and --help or --version where a value belongs is refused as that value.

Each output is written to a temporary file in the folder .retina-partial beside its target (the
CSV and the snapshots to one without a name) and renamed into place once complete. A stop (ESC,
closing the window, losing its X display, Ctrl-C, SIGTERM, SIGHUP, Ctrl-\, a closed pipe, and
every other signal that would end the program: SIGUSR1, SIGALRM, the CPU time limit, ...) ends
the run as its end would: every output is finished up to the last frame drawn and put in place. A run that drew no frame writes nothing. On a failure, each output
that is complete is put in place and the others leave their targets as they were; the summary
lists what became of each. A second Ctrl-C while the outputs are being finished abandons those
not finished yet, their targets as they were. Refused before the run: an output that is one of
the input's files, the file behind standard output or standard error, a file or directory
without write permission (root included), one that a rename cannot replace (a sticky
directory's, a mount point) or that another run is writing now.

In a window the keys are the demo's: r recentres the fovea, ESC quits; closing the window quits
too. On a terminal, standard error shows a progress line.

Exit status:
  0    the run ended: the input or the frame limit ended, ESC, the window was closed or its
       X display lost (a damaged input that ends early is a warning)
  1    an output could not be completed (disk full, the file size limit, a size the encoder
       refuses, a snapshot frame that the input never reached, standard output not
       writable) or memory ran out, whatever ended the run; the cause is on standard error,
       and every output that is complete is kept
  2    refused before the run (a bad option, an input that cannot be read, an output that is
       the input or cannot be replaced, or that another run writes); nothing is written
  130  stopped by SIGINT (Ctrl-C); 143 by SIGTERM, 129 by SIGHUP, 131 by SIGQUIT, 141 by
       SIGPIPE, 128 + N by any other signal N. The run ends as on ESC: the outputs are complete up to the last whole frame
       and the summary is printed. A stop before the run has started, or a second one while
       the outputs are being finished, ends it at once (128 + its number), leaving the
       unfinished outputs' targets as they were)";

// The usage line first, then what the tool does, the sections and the footer.
class ReplayHelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    std::string text = make_usage(app, name) + "\n" + make_description(app);
    for (const std::string& group : app->get_groups()) {
      const auto options =
          app->get_options([&](const CLI::Option* o) { return o->get_group() == group; });
      if (!options.empty()) text += make_group(group, false, options);
    }
    (void)mode;
    return text + "\n" + make_footer(app);
  }
};

CLI::App& describeApp(CLI::App& app) {
  app.name(kReplayToolName);
  app.description(kDescription);
  app.footer(kFooter);
  app.set_help_flag();  // --help is an entry of the table, answered before the parse
  auto formatter = std::make_shared<ReplayHelpFormatter>();
  formatter->column_width(21);
  formatter->label("OPTIONS", "options");
  app.formatter(formatter);
  return app;
}

}  // namespace

std::int64_t frameLimit(const ReplayCommand& command) {
  if (command.frames > 0) return command.frames;
  const InputKind kind = command.runSpec.input.kind;
  const bool endless = kind == InputKind::video || kind == InputKind::camera;
  return endless ? 0 : kDefaultReplayFrames;
}

ParsedCommand parseReplayCommand(const std::vector<std::string>& args) {
  ParsedCommand parsed;
  ReplayCommand& c = parsed.command;
  CLI::App app;
  describeApp(app);
  OptionTable table(app, c);
  table.declare();

  // --help and --version answer whatever else the line holds, but not where they stand as an
  // option's value ("--image --help" is an --image without its file). The same walk finds the
  // first argument that is no option of the table: the parse stops there.
  std::size_t unknown = args.size();
  for (std::size_t i = 0; i < args.size(); ++i) {
    const CLI::Option* option = app.get_option_no_throw(args[i]);
    if (option != nullptr && option->get_items_expected_max() > 0) {
      ++i;
    } else if (args[i] == "--help" || args[i] == "-h") {
      c.help = true;
      return parsed;
    } else if (args[i] == "--version") {
      c.version = true;
    } else if (option == nullptr && unknown == args.size()) {
      unknown = i;
    }
  }
  if (c.version) return parsed;

  c.runSpec.commandLine = commandLineText(args);
  // What comes before the first unknown argument is parsed, each option checked as it comes.
  std::vector<std::string> known(args.rbegin() + static_cast<std::ptrdiff_t>(args.size() - unknown),
                                 args.rend());  // CLI11 takes them last first
  try {
    app.parse(known);
  } catch (const OptionRefusal& refusal) {
    parsed.error = refusal.what();
    return parsed;
  } catch (const CLI::ArgumentMismatch&) {  // only the last option can lack its value
    parsed.error = args[unknown - 1] + " needs a value";
    return parsed;
  } catch (const CLI::ParseError& e) {
    parsed.error = e.what();
    return parsed;
  }
  if (unknown < args.size()) {
    parsed.error = "unknown option '" + args[unknown] + "' (see --help)";
    return parsed;
  }
  parsed.error = checkCombination(c, table.given());
  c.runSpec.input.frameLimit = frameLimit(c);
  return parsed;
}

std::string loadRunFiles(ReplayCommand& command) {
  RunSpec& runSpec = command.runSpec;
  if (!command.configPath.empty()) {
    const ParameterFileResult file = readParameterFile(command.configPath);
    if (!file.error.empty()) return "--config '" + command.configPath + "': " + file.error;
    runSpec.parameters = file.parameters;
    runSpec.configFile = command.configPath;
  }
  if (!command.foveaPathFile.empty()) {
    FoveaPathResult path = readFoveaPath(command.foveaPathFile);
    if (!path.error.empty()) return "--fovea-path '" + command.foveaPathFile + "': " + path.error;
    runSpec.fovea.path = std::move(path.path);
    runSpec.foveaPathFile = command.foveaPathFile;
  }
  return {};
}

std::string optionName(RunRole role) {
  switch (role) {
    case RunRole::configFile:
      return "--config";
    case RunRole::foveaPathFile:
      return "--fovea-path";
    case RunRole::recording:
      return "--out";
    case RunRole::snapshot:
      return "--snapshot";
    case RunRole::exportFile:
      return "--export";
    case RunRole::statsFile:
      return "--stats";
    case RunRole::input:
      break;
  }
  return "the input";
}

std::string commandLineText(const std::vector<std::string>& arguments) {
  std::string text = kReplayToolName;
  for (const std::string& arg : arguments) {
    const bool plain = !arg.empty() && arg.find_first_not_of(
                                           "abcdefghijklmnopqrstuvwxyz"
                                           "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                           "0123456789-_./:=,+@%") == std::string::npos;
    if (plain) {
      text += " " + arg;
      continue;
    }
    text += " '";
    for (const char c : arg)
      text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += "'";
  }
  return text;
}

std::string replayVersion() {
  return std::string(kReplayToolName) + " " + kReplayVersion;
}

std::string replayUsage() {
  CLI::App app;
  describeApp(app);
  ReplayCommand unused;
  OptionTable(app, unused).declare();
  return app.help();
}
