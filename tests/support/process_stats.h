// What a long-running host would watch: open descriptors, threads and
// resident memory of this process, from /proc/self.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstring>

namespace QSSoak {

// Entries of a /proc directory (descriptors or threads); -1 when unreadable.
inline int CountEntries(const char* path) {
  DIR* directory = opendir(path);
  if (!directory) return -1;
  int count = 0;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(directory);
  // The directory stream itself held one descriptor while it was read.
  return count;
}

inline int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline int Threads() { return CountEntries("/proc/self/task"); }

// VmRSS in KiB; -1 when unreadable.
inline long ResidentKiB() {
  std::FILE* file = std::fopen("/proc/self/status", "r");
  if (!file) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, file)) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) {
      std::sscanf(line + 6, "%ld", &kib);
      break;
    }
  }
  std::fclose(file);
  return kib;
}

// The sanitizers keep freed memory in quarantine and shadow memory grows
// with use: resident memory says nothing about leaks there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif
#else
constexpr bool Sanitized = false;
#endif

}  // namespace QSSoak
