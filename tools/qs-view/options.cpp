#include "tools/qs-view/options.h"

#include <limits>

#include "tools/qs-view/host_check.h"

void PrintViewUsage(std::FILE* out) {
  std::fputs(
      "Usage: qs-view [options] [HOST]\n"
      "Connects to the capture server HOST (port 801; default 127.0.0.1) through the\n"
      "library and shows its frames as a live 3D picture in a web browser: markers,\n"
      "segment axes and force plate forces over a floor grid, in the chosen axes.\n"
      "Open the address it prints.\n"
      "\n"
      "Options:\n",
      out);
  std::fputs(HostOptionsUsage, out);
  std::fputs(
      "  --http ADDR:PORT  serve the page there (default 127.0.0.1:8080; port 0 picks\n"
      "                    a free one; an IPv6 address goes in brackets). Any address\n"
      "                    but loopback lets other machines see the stream.\n"
      "  --http-fd N       serve the page on the listening socket N, inherited from\n"
      "                    the process that started qs-view (socket activation)\n"
      "  --allow-host NAME also answer requests for NAME (a host name or address as\n"
      "                    typed in the browser, any port); may be repeated, up to\n"
      "                    32. Without it only the address the page is reached at\n"
      "                    is answered, localhost on loopback, and this machine's\n"
      "                    host name when listening on every address: another\n"
      "                    site's page that points a name of its own here (DNS\n"
      "                    rebinding) is refused, as is any request from another\n"
      "                    site's page\n"
      "  --max-viewers N   browsers served at once (default 8, at most 64)\n"
      "  --event-rate HZ   frames sent to each browser per second (default and\n"
      "                    most 60)\n"
      "  --units LIST      units of the stream's values, as for qs-export: any of\n"
      "                    length=mm,force=N,moment=N.m,voltage=V (the defaults);\n"
      "                    the page states its grid, scales and charts in them\n"
      "  --help            show this text\n"
      "\n"
      "A client has 10 s for each request and 2 s to close after its last answer.\n"
      "Connections that are not event streams are capped at 8 per client address\n"
      "and 32 in all; one more makes room by dropping the oldest of them.\n"
      "\n"
      "It retries every half second while the server cannot be reached or after the\n"
      "connection is lost, and runs until interrupted (Ctrl-C) or --duration ends.\n"
      "Exit status: 0 on a normal end, 1 when it cannot serve the page, 2 for a bad\n"
      "command line.\n",
      out);
}

namespace {

// "ADDRESS:PORT" or "[IPV6]:PORT".
bool ParseHttpEndpoint(const std::string& text, std::string& address, uint16_t& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address without brackets
  }
  unsigned long long number = 0;
  if (!ParseCount(text.c_str() + colon + 1, number) || number > 65535) return false;
  address = host;
  port = static_cast<uint16_t>(number);
  return true;
}

}  // namespace

ParseResult ParseViewOptions(int argc, char** argv, ViewOptions& options, std::string& error) {
  const ParseResult parsed = ParseCommandLine(argc, argv, options, [&](const std::string& arg, const char* value,
                                                                       int& i, std::string& problem) {
    unsigned long long number = 0;
    bool good = false;
    if (arg == "--http") {
      good = value != nullptr && ParseHttpEndpoint(value, options.HttpAddress, options.HttpPort);
    } else if (arg == "--http-fd") {
      good = ParseCount(value, number) && number <= static_cast<unsigned long long>(std::numeric_limits<int>::max());
      options.HttpFd = static_cast<int>(number);
    } else if (arg == "--allow-host") {
      good = value != nullptr && QSView::IsHostName(value) && options.AllowedHosts.size() < QSView::MostAllowedHosts;
      if (good) options.AllowedHosts.emplace_back(value);
    } else if (arg == "--max-viewers") {
      good = ParseCount(value, number) && number >= 1 && number <= MostViewers;
      options.MaxViewers = static_cast<std::size_t>(number);
    } else if (arg == "--units") {
      std::string why;
      if (value == nullptr || options.UnitsGiven || !options.Units.Parse(value, why)) {
        problem = "--units: " + (why.empty() ? std::string("missing, or given twice") : why);
        return OptionMatch::Error;
      }
      options.UnitsGiven = true;
      good = true;
    } else if (arg == "--event-rate") {
      good = ParseSeconds(value, options.EventRate) && options.EventRate > 0 && options.EventRate <= MostEventRate;
    } else {
      return OptionMatch::NotMine;
    }
    if (!good) {
      problem = "missing or bad value after " + arg;
      return OptionMatch::Error;
    }
    ++i;
    return OptionMatch::Taken;
  }, error);
  // A viewer keeps retrying: the page shows the server coming and going.
  options.Reconnect = true;
  return parsed;
}
