// Command line of qs-stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/host/host_options.h"

struct ViewerOptions : HostOptions {
  std::string Subject;  // "" = the first subject of the frame
  std::string Segment;  // "" = the first segment of that subject
  uint64_t Frames = 0;    // 0 = no limit
  double PrintEvery = 0;  // seconds between status updates; 0 = automatic
  std::string CsvPath;
};

void PrintViewerUsage(std::FILE* out);

// Fills `options` from the command line; on Error, `error` says what is wrong.
ParseResult ParseViewerOptions(int argc, char** argv, ViewerOptions& options, std::string& error);
