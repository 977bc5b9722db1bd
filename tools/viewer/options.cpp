#include "tools/viewer/options.h"

#include <cstdio>

void PrintViewerUsage(std::FILE* out) {
  std::fputs(
      "Usage: qs-stream [options] [HOST]\n"
      "Connects to the capture server HOST (port 801; default 127.0.0.1) and shows\n"
      "its frames live: frame number, frames per second, subjects, one segment's\n"
      "position and each force plate's vertical force.\n"
      "\n"
      "Options:\n",
      out);
  std::fputs(HostOptionsUsage, out);
  std::fputs(
      "  --subject NAME    subject whose segment is shown (default: the first)\n"
      "  --segment NAME    segment shown (default: the subject's first)\n"
      "  --frames N        stop after N frames\n"
      "  --csv FILE        write one row per frame: frame, time, segment x y z,\n"
      "                    then Fx Fy Fz of each plate\n"
      "  --reconnect       when the server cannot be reached or the connection is\n"
      "                    lost, try again every half second until the end\n"
      "  --every S         seconds between status updates (default 0.1 on a\n"
      "                    terminal, 1 otherwise)\n"
      "  --help            show this text\n"
      "\n"
      "Without --frames or --duration it runs until interrupted (Ctrl-C).\n"
      "Exit status: 0 on a normal end, 1 when the server cannot be reached or the\n"
      "connection is lost, 2 for a bad command line.\n",
      out);
}

ParseResult ParseViewerOptions(int argc, char** argv, ViewerOptions& options, std::string& error) {
  VHostOptionParser shared(options);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--help" || arg == "-h") return ParseResult::Help;
    const OptionMatch match = shared.Take(argc, argv, i, error);
    if (match == OptionMatch::Taken) continue;
    if (match == OptionMatch::Error) return ParseResult::Error;
    auto needValue = [&](const char* what) {
      error = "missing or bad " + std::string(what) + " after " + arg;
      return ParseResult::Error;
    };
    if (arg == "--reconnect") {
      options.Reconnect = true;
    } else if (arg == "--subject" || arg == "--segment" || arg == "--csv") {
      if (value == nullptr || *value == '\0') return needValue("value");
      std::string& target = arg == "--subject" ? options.Subject
                            : arg == "--segment" ? options.Segment
                                                 : options.CsvPath;
      target = value;
      ++i;
    } else if (arg == "--frames") {
      unsigned long long frames = 0;
      if (!ParseCount(value, frames)) return needValue("count");
      options.Frames = frames;
      ++i;
    } else if (arg == "--every") {
      if (!ParseSeconds(value, options.PrintEvery)) return needValue("number of seconds");
      ++i;
    } else {
      error = "unknown option or extra argument: " + arg;
      return ParseResult::Error;
    }
  }
  shared.Finish();
  return ParseResult::Run;
}
