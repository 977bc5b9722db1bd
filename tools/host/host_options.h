// The command line every host tool of the library shares: which capture
// server, which data kinds, the axis convention, prefetching and how long to
// run. Each tool adds its own options to these.
#pragma once

#include <cstdio>
#include <functional>
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

enum class ParseResult { Run, Help, Error };
enum class OptionMatch { Taken, NotMine, Error };

// A tool's own options: looks at `arg` (argv[i]; `value` is argv[i + 1] or
// null). Taken: it was one, and `i` now points at its last argument.
// NotMine: it is unknown. Error: a bad or missing value; `error` says which.
using OwnOptionParser =
    std::function<OptionMatch(const std::string& arg, const char* value, int& i, std::string& error)>;

// Fills `options` from the command line: --help, the shared options, the
// positional HOST and, through `own`, the tool's own options. On Error,
// `error` says what is wrong.
ParseResult ParseCommandLine(int argc, char** argv, HostOptions& options, const OwnOptionParser& own,
                             std::string& error);

// What main does with a parsed command line: for Help prints the usage and
// returns 0; for Error prints "TOOL: error" and the usage to stderr and
// returns 2; for Run returns -1.
int CommandLineStatus(ParseResult parsed, const char* tool, const std::string& error,
                      void (*printUsage)(std::FILE*));

// SIGINT and SIGTERM only set the flag StopRequested reads; SIGPIPE is
// ignored.
void CatchStopSignals();
bool StopRequested();

// A non-negative finite number, or a whole count.
bool ParseSeconds(const char* text, double& value);
bool ParseCount(const char* text, unsigned long long& value);
