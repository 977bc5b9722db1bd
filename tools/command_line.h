// Small helpers shared by the command-line tools (qs-sim, qs-stream,
// qs-record, qs-export): strict number parsing and printf into a string.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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
