// The command-line options every host tool of the library shares: which
// capture server, which data kinds, the axis convention, prefetching and how
// long to run. Each tool parses its own options around these.
#pragma once

#include <string>

struct HostOptions {
  std::string Host = "127.0.0.1";
  // Data kinds to enable; all three unless some are named.
  bool Segments = true;
  bool Markers = true;
  bool Forces = true;
  bool PreFetch = false;
  bool LeftHanded = false;
  bool YUp = false;
  bool Reconnect = false;  // keep retrying when the server cannot be reached or is lost
  double Duration = 0;     // seconds; 0 = no limit
};

// The usage lines of the shared options, to be printed inside a tool's own
// usage text.
extern const char HostOptionsUsage[];

enum class OptionMatch { Taken, NotMine, Error };

// Takes the shared options out of a command line, one argument at a time.
class VHostOptionParser {
 public:
  explicit VHostOptionParser(HostOptions& options) : Options(options) {}

  // Looks at argv[i]. Taken: it was a shared option (or the positional HOST)
  // and `i` now points at its last argument. NotMine: the tool's own, or
  // unknown. Error: a shared option with a missing or bad value; `error`
  // says which.
  OptionMatch Take(int argc, char** argv, int& i, std::string& error);

  // Call after the last argument: applies the data kinds that were named.
  void Finish();

 private:
  HostOptions& Options;
  bool HostGiven = false;
  bool KindNamed = false;
  bool Segments = false, Markers = false, Forces = false;
};

// A non-negative finite number of seconds, or a whole count.
bool ParseSeconds(const char* text, double& value);
bool ParseCount(const char* text, unsigned long long& value);
