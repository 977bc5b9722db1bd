#include "tools/host/host_options.h"

#include <signal.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "tools/command_line.h"

const char HostOptionsUsage[] =
    "  --host HOST       the capture server (same as the positional HOST)\n"
    "  --segments        enable segment poses  } when none of the three is given,\n"
    "  --markers         enable marker positions } all three are enabled\n"
    "  --forces          enable force plate data }\n"
    "  --prefetch        let the library fetch frames on a thread of its own\n"
    "  --left-handed     left-handed output (x negated)\n"
    "  --y-up            Y-up output\n"
    "  --duration S      stop after S seconds\n";

bool ParseCount(const char* text, unsigned long long& value) {
  return QSTools::ParseUnsigned(text, std::numeric_limits<unsigned long long>::max(), value);
}

bool ParseSeconds(const char* text, double& value) { return QSTools::ParseReal(text, 0.0, HUGE_VAL, value); }

ParseResult ParseCommandLine(int argc, char** argv, HostOptions& options, const OwnOptionParser& own,
                             std::string& error) {
  bool hostGiven = false;
  bool kindNamed = false;
  bool segments = false, markers = false, forces = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
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
    } else if (arg == "--host") {
      if (value == nullptr || *value == '\0') {
        error = "missing or bad value after " + arg;
        return ParseResult::Error;
      }
      options.Host = value;
      hostGiven = true;
      ++i;
    } else if (arg == "--duration") {
      if (!ParseSeconds(value, options.Duration)) {
        error = "missing or bad number of seconds after " + arg;
        return ParseResult::Error;
      }
      ++i;
    } else if (!arg.empty() && arg[0] != '-' && !hostGiven) {
      options.Host = arg;
      hostGiven = true;
    } else {
      const OptionMatch match = own(arg, value, i, error);
      if (match == OptionMatch::Error) return ParseResult::Error;
      if (match == OptionMatch::NotMine) {
        error = "unknown option or extra argument: " + arg;
        return ParseResult::Error;
      }
    }
  }
  if (kindNamed) {
    options.Segments = segments;
    options.Markers = markers;
    options.Forces = forces;
  }
  return ParseResult::Run;
}

int CommandLineStatus(ParseResult parsed, const char* tool, const std::string& error,
                      void (*printUsage)(std::FILE*)) {
  if (parsed == ParseResult::Help) {
    printUsage(stdout);
    return 0;
  }
  if (parsed == ParseResult::Error) {
    std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
    printUsage(stderr);
    return 2;
  }
  return -1;
}

namespace {

volatile sig_atomic_t StopFlag = 0;

void OnStopSignal(int) { StopFlag = 1; }

}  // namespace

void CatchStopSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return StopFlag != 0; }
