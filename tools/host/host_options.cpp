#include "tools/host/host_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

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
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

bool ParseSeconds(const char* text, double& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < 0) return false;
  value = parsed;
  return true;
}

OptionMatch VHostOptionParser::Take(int argc, char** argv, int& i, std::string& error) {
  const std::string arg = argv[i];
  const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
  if (arg == "--segments") {
    Segments = KindNamed = true;
  } else if (arg == "--markers") {
    Markers = KindNamed = true;
  } else if (arg == "--forces") {
    Forces = KindNamed = true;
  } else if (arg == "--prefetch") {
    Options.PreFetch = true;
  } else if (arg == "--left-handed") {
    Options.LeftHanded = true;
  } else if (arg == "--y-up") {
    Options.YUp = true;
  } else if (arg == "--host") {
    if (value == nullptr || *value == '\0') {
      error = "missing or bad value after " + arg;
      return OptionMatch::Error;
    }
    Options.Host = value;
    HostGiven = true;
    ++i;
  } else if (arg == "--duration") {
    if (!ParseSeconds(value, Options.Duration)) {
      error = "missing or bad number of seconds after " + arg;
      return OptionMatch::Error;
    }
    ++i;
  } else if (!arg.empty() && arg[0] != '-' && !HostGiven) {
    Options.Host = arg;
    HostGiven = true;
  } else {
    return OptionMatch::NotMine;
  }
  return OptionMatch::Taken;
}

void VHostOptionParser::Finish() {
  if (KindNamed) {
    Options.Segments = Segments;
    Options.Markers = Markers;
    Options.Forces = Forces;
  }
}
