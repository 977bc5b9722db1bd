// Command line of qs-stream.
#pragma once

#include <cstdint>
#include <string>

struct ViewerOptions {
  std::string Host = "127.0.0.1";
  // Data kinds to enable; all three unless some are named.
  bool Segments = true;
  bool Markers = true;
  bool Forces = true;
  std::string Subject;  // "" = the first subject of the frame
  std::string Segment;  // "" = the first segment of that subject
  bool PreFetch = false;
  bool LeftHanded = false;
  bool YUp = false;
  uint64_t Frames = 0;    // 0 = no limit
  double Duration = 0;    // seconds; 0 = no limit
  double PrintEvery = 0;  // seconds between status updates; 0 = automatic
  std::string CsvPath;
  bool Reconnect = false;
};

enum class ParseResult { Run, Help, Error };

extern const char ViewerUsage[];

// Fills `options` from the command line; on Error, `error` says what is wrong.
ParseResult ParseViewerOptions(int argc, char** argv, ViewerOptions& options, std::string& error);
