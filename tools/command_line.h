// Small helpers shared by the command-line tools (qs-sim, qs-stream,
// qs-record, qs-export): a walk over the command line, strict number parsing
// and printf into a string.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace QSTools {

// A whole decimal number from 0 to `max`, with nothing before or after it.
inline bool ParseUnsigned(const char* text, unsigned long long max, unsigned long long& value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

// A finite real number from `min` to `max`, with nothing after it.
inline bool ParseReal(const char* text, double min, double max, double& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

// Walks a command line one argument at a time. An option with a value takes
// the argument after it; anything not recognised is reported by Bad, in the
// program's own words:
//
//   VCommandLine line("qs-tool", argc, argv);
//   while (line.Next()) {
//     if (line.Flag({"--quiet", "-q"})) quiet = true;
//     else if (const char* v = line.Value({"--port"}); v && ParseUnsigned(v, 65535, n)) port = n;
//     else return line.Bad();
//   }
class VCommandLine {
 public:
  VCommandLine(const char* program, int argc, char** argv) : Program(program), Count(argc), Args(argv) {}

  // Moves to the next argument (past the value an option took); false after
  // the last.
  bool Next() {
    At = Taken ? At + 2 : At + 1;
    Taken = false;
    if (At >= Count) return false;
    Current = Args[At];
    return true;
  }
  const std::string& Arg() const { return Current; }
  // The argument is one of `names`.
  bool Flag(std::initializer_list<const char*> names) const {
    for (const char* name : names) {
      if (Current == name) return true;
    }
    return false;
  }
  // The argument is one of `names` and an argument follows: that argument,
  // which it takes (whether or not the caller then accepts it); otherwise
  // nullptr.
  const char* Value(std::initializer_list<const char*> names) {
    if (!Flag(names) || Following() == nullptr) return nullptr;
    Taken = true;
    return Following();
  }
  // The argument does not start with '-': a positional one.
  bool Positional() const { return !Current.empty() && Current[0] != '-'; }
  // Prints "PROGRAM: bad option or value: ARG [NEXT] (see --help)" and
  // returns 2, the tools' status for a bad command line.
  int Bad() const {
    const char* next = Following();
    std::fprintf(stderr, "%s: bad option or value: %s%s%s (see --help)\n", Program, Current.c_str(), next ? " " : "",
                 next ? next : "");
    return 2;
  }

 private:
  const char* Following() const { return At + 1 < Count ? Args[At + 1] : nullptr; }

  const char* const Program;
  const int Count;
  char** const Args;
  int At = 0;
  bool Taken = false;
  std::string Current;
};

inline std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace QSTools
