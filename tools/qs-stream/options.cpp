#include "tools/qs-stream/options.h"

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
  return ParseCommandLine(argc, argv, options, [&](const std::string& arg, const char* value, int& i,
                                                   std::string& problem) {
    const bool hasValue = value != nullptr && *value != '\0';
    if (arg == "--reconnect") {
      options.Reconnect = true;
      return OptionMatch::Taken;
    }
    if (arg == "--subject" || arg == "--segment" || arg == "--csv") {
      if (!hasValue) {
        problem = "missing or bad value after " + arg;
        return OptionMatch::Error;
      }
      (arg == "--subject" ? options.Subject : arg == "--segment" ? options.Segment : options.CsvPath) = value;
    } else if (arg == "--frames") {
      unsigned long long frames = 0;
      if (!ParseCount(value, frames)) {
        problem = "missing or bad count after " + arg;
        return OptionMatch::Error;
      }
      options.Frames = frames;
    } else if (arg == "--every") {
      if (!ParseSeconds(value, options.PrintEvery)) {
        problem = "missing or bad number of seconds after " + arg;
        return OptionMatch::Error;
      }
    } else {
      return OptionMatch::NotMine;
    }
    ++i;
    return OptionMatch::Taken;
  }, error);
}
