#include "tools/viewer/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "tools/command_line.h"

const char ViewerUsage[] =
    "Usage: qs-stream [options] [HOST]\n"
    "Connects to the capture server HOST (port 801; default 127.0.0.1) and shows\n"
    "its frames live: frame number, frames per second, subjects, one segment's\n"
    "position and each force plate's vertical force.\n"
    "\n"
    "Options:\n"
    "  --host HOST       the capture server (same as the positional HOST)\n"
    "  --segments        enable segment poses  } when none of the three is given,\n"
    "  --markers         enable marker positions } all three are enabled\n"
    "  --forces          enable force plate data }\n"
    "  --subject NAME    subject whose segment is shown (default: the first)\n"
    "  --segment NAME    segment shown (default: the subject's first)\n"
    "  --prefetch        let the library fetch frames on a thread of its own\n"
    "  --left-handed     left-handed output (x negated)\n"
    "  --y-up            Y-up output\n"
    "  --frames N        stop after N frames\n"
    "  --duration S      stop after S seconds\n"
    "  --csv FILE        write one row per frame: frame, time, segment x y z,\n"
    "                    then Fx Fy Fz of each plate\n"
    "  --reconnect       when the server cannot be reached or the connection is\n"
    "                    lost, try again every half second until the end\n"
    "  --every S         seconds between status updates (default 0.1 on a\n"
    "                    terminal, 1 otherwise)\n"
    "  --help            show this text\n"
    "\n"
    "Without --frames or --duration it runs until interrupted (Ctrl-C).\n"
    "Exit status: 0 on a normal end, 1 when the server cannot be reached or the\n"
    "connection is lost, 2 for a bad command line.\n";

namespace {

bool ParseSeconds(const char* text, double& value) { return QSTools::ParseReal(text, 0.0, HUGE_VAL, value); }

bool ParseCount(const char* text, uint64_t& value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

}  // namespace

ParseResult ParseViewerOptions(int argc, char** argv, ViewerOptions& options, std::string& error) {
  bool kindNamed = false;
  bool hostGiven = false;
  bool segments = false, markers = false, forces = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto needValue = [&](const char* what) {
      error = "missing or bad " + std::string(what) + " after " + arg;
      return ParseResult::Error;
    };
    if (arg == "--help" || arg == "-h") return ParseResult::Help;
    if (arg == "--segments") {
      segments = kindNamed = true;
    } else if (arg == "--markers") {
      markers = kindNamed = true;
    } else if (arg == "--forces") {
      forces = kindNamed = true;
    } else if (arg == "--prefetch") {
      options.PreFetch = true;
    } else if (arg == "--left-handed") {
      options.LeftHanded = true;
    } else if (arg == "--y-up") {
      options.YUp = true;
    } else if (arg == "--reconnect") {
      options.Reconnect = true;
    } else if (arg == "--host" || arg == "--subject" || arg == "--segment" || arg == "--csv") {
      if (value == nullptr || *value == '\0') return needValue("value");
      std::string& target = arg == "--host" ? options.Host
                            : arg == "--subject" ? options.Subject
                            : arg == "--segment" ? options.Segment
                                                 : options.CsvPath;
      target = value;
      if (arg == "--host") hostGiven = true;
      ++i;
    } else if (arg == "--frames") {
      if (!ParseCount(value, options.Frames)) return needValue("count");
      ++i;
    } else if (arg == "--duration" || arg == "--every") {
      if (!ParseSeconds(value, arg == "--duration" ? options.Duration : options.PrintEvery)) {
        return needValue("number of seconds");
      }
      ++i;
    } else if (!arg.empty() && arg[0] != '-' && !hostGiven) {
      options.Host = arg;
      hostGiven = true;
    } else {
      error = "unknown option or extra argument: " + arg;
      return ParseResult::Error;
    }
  }
  if (kindNamed) {
    options.Segments = segments;
    options.Markers = markers;
    options.Forces = forces;
  }
  return ParseResult::Run;
}
