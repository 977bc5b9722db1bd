// Command line of qs-view.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/host/host_options.h"
#include "tools/units/units.h"

struct ViewOptions : HostOptions {
  // Where the page is served: an address and port to listen on, or a
  // listening socket handed in (HttpFd >= 0).
  std::string HttpAddress = "127.0.0.1";
  uint16_t HttpPort = 8080;
  int HttpFd = -1;
  // Names (or addresses) a request may give as its Host beside the address
  // it arrived on.
  std::vector<std::string> AllowedHosts;
  std::size_t MaxViewers = 8;
  double EventRate = 60;  // messages per second to each browser
  // The units the page states the stream's values in (qs-export's --units).
  QSUnits::VUnits Units;
  bool UnitsGiven = false;
};

// Bounds of the options above.
constexpr std::size_t MostViewers = 64;
constexpr double MostEventRate = 60;

void PrintViewUsage(std::FILE* out);

// Fills `options` from the command line; on Error, `error` says what is wrong.
ParseResult ParseViewOptions(int argc, char** argv, ViewOptions& options, std::string& error);
