// qs-sim: a capture server on the local machine that streams a demo scene
// (a walking subject, a waved wand and two force plates), or replays a
// recording made by qs-record, for trying out and benchmarking clients
// without capture hardware.
#include <signal.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>

#include "tools/command_line.h"
#include "tools/sim/replay_source.h"
#include "tools/sim/simulator.h"

namespace {

using QSTools::ParseUnsigned;

// Frames per second, or a replay speed: 0 (unpaced) up to a million.
bool ParseRate(const char* text, double& value) { return QSTools::ParseReal(text, 0.0, 1e6, value); }

const char Usage[] =
    "Usage: qs-sim [options]\n"
    "Streams a demo capture (a walking subject with 15 segments and 41 markers,\n"
    "a wand, two force plates with 8 analog channels each), or replays a recording\n"
    "made by qs-record, to several clients at once on one frame clock.\n"
    "\n"
    "Options:\n"
    "  --address ADDR   address to listen on (default 127.0.0.1)\n"
    "  --port N         TCP port (default 801; 0 picks a free port, printed at start)\n"
    "  --rate HZ        frames per second (default 100; 0 = unpaced, one frame per\n"
    "                   request as fast as requests come)\n"
    "  --frames N       serve frames 0 to N-1 of the clock, which then starts with\n"
    "                   the first client, and exit once every client has had the\n"
    "                   last one (default 0 = run until SIGINT or SIGTERM)\n"
    "  --max-clients N  serve up to N clients at once (default 8); one more is\n"
    "                   refused, with a logged line\n"
    "  --samples N      force plate samples per component and frame (default 10)\n"
    "  --static-every N re-send the scene description every N frames of a\n"
    "                   connection (default 1000; 0 = only on connect and after\n"
    "                   the requested types change)\n"
    "  --replay FILE    serve the recording FILE: its handshake, then its packets\n"
    "                   at their recorded times (the clock starts with the first\n"
    "                   client); stops after the last packet unless --loop\n"
    "  --speed X        replay at X times the recorded pace, 0.001 to 1000000\n"
    "                   (default 1; 0 = unpaced)\n"
    "  --loop           replay again from the start after the last packet, with\n"
    "                   frame numbers continuing upwards\n"
    "  --quiet          print nothing but errors\n"
    "  --help           show this text\n";

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string RateText(double rate) {
  if (rate <= 0.0) return "unpaced";
  char text[64];
  std::snprintf(text, sizeof text, "%g Hz", rate);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  LumoraQSSim::VSimulatorOptions options;
  bool quiet = false;
  std::string replay;
  LumoraQSSim::VReplayOptions replayOptions;
  bool sceneOption = false;  // an option of the demo scene was given
  QSTools::VCommandLine line("qs-sim", argc, argv);
  while (line.Next()) {
    const char* value = nullptr;
    unsigned long long number = 0;
    if (line.Flag({"--help", "-h"})) {
      std::fputs(Usage, stdout);
      return 0;
    } else if (line.Flag({"--quiet", "-q"})) {
      quiet = true;
    } else if (line.Flag({"--loop"})) {
      replayOptions.Loop = true;
    } else if ((value = line.Value({"--replay"})) && *value != '\0') {
      replay = value;
    } else if ((value = line.Value({"--speed"})) && ParseRate(value, replayOptions.Speed) &&
               LumoraQSSim::ValidSpeed(replayOptions.Speed)) {
    } else if ((value = line.Value({"--address"})) && *value != '\0') {
      options.Address = value;
    } else if ((value = line.Value({"--port"})) && ParseUnsigned(value, 65535, number)) {
      options.Port = static_cast<uint16_t>(number);
    } else if ((value = line.Value({"--rate"})) && ParseRate(value, options.Rate)) {
      sceneOption = true;
    } else if ((value = line.Value({"--frames"})) && ParseUnsigned(value, std::numeric_limits<uint64_t>::max(), number)) {
      options.Frames = number;
    } else if ((value = line.Value({"--max-clients"})) && ParseUnsigned(value, 1000, number) && number >= 1) {
      options.MaxClients = static_cast<std::size_t>(number);
    } else if ((value = line.Value({"--samples"})) && ParseUnsigned(value, 10000, number) && number >= 1) {
      options.SamplesPerFrame = static_cast<int>(number);
      sceneOption = true;
    } else if ((value = line.Value({"--static-every"})) && ParseUnsigned(value, 0xffffffffull, number)) {
      options.StaticEvery = static_cast<uint32_t>(number);
      sceneOption = true;
    } else {
      return line.Bad();
    }
  }
  if (!quiet) options.Log = PrintLine;
  if (replay.empty() && (replayOptions.Loop || replayOptions.Speed != 1.0)) {
    std::fprintf(stderr, "qs-sim: --speed and --loop go with --replay (see --help)\n");
    return 2;
  }
  if (!replay.empty() && sceneOption) {
    std::fprintf(stderr, "qs-sim: --rate, --samples and --static-every do not apply to --replay (see --help)\n");
    return 2;
  }

  // A recording is read and checked whole before anything listens.
  std::unique_ptr<LumoraQSSim::VReplaySource> source;
  std::string serving = RateText(options.Rate);
  if (!replay.empty()) {
    source = std::make_unique<LumoraQSSim::VReplaySource>();
    if (!source->Open(replay, replayOptions)) {
      std::fprintf(stderr, "qs-sim: %s: %s\n", replay.c_str(), source->Error().c_str());
      return 1;
    }
    if (!source->Warning().empty()) std::fprintf(stderr, "qs-sim: %s: %s\n", replay.c_str(), source->Warning().c_str());
    char text[256];
    std::snprintf(text, sizeof text, "replaying %s (%zu packets, %.2f s", replay.c_str(), source->PacketCount(),
                  source->Seconds());
    serving = text;
    if (source->HasFrameNumbers()) {
      serving += ", frames " + std::to_string(source->FirstFrameNumber()) + " to " + std::to_string(source->LastFrameNumber());
    }
    serving += ")";
    std::snprintf(text, sizeof text, replayOptions.Speed > 0.0 ? ", speed %g" : ", unpaced", replayOptions.Speed);
    serving += text;
    if (replayOptions.Loop) serving += ", looping";
    // The recording has its own scene descriptions.
    options.StaticEvery = 0;
    options.ClockStartsOnConnect = true;
  }

  // SIGINT and SIGTERM are taken synchronously by the main thread below;
  // blocking them before any thread starts keeps them off the server's
  // threads. A client that disappears must not kill the process.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<LumoraQSSim::VSimulator> served =
      source ? std::make_unique<LumoraQSSim::VSimulator>(options, std::move(source))
             : std::make_unique<LumoraQSSim::VSimulator>(options);
  LumoraQSSim::VSimulator& simulator = *served;
  if (!simulator.Start()) {
    std::fprintf(stderr, "qs-sim: %s\n", simulator.LastError().c_str());
    return 1;
  }
  if (!quiet) {
    PrintLine("qs-sim: listening on " + options.Address + ":" + std::to_string(simulator.Port()) + ", " + serving);
  }

  int stoppedBy = 0;
  while (!simulator.Finished()) {
    const timespec wait{0, 50 * 1000 * 1000};
    const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
    if (signal == SIGINT || signal == SIGTERM) {
      stoppedBy = signal;
      break;
    }
  }
  simulator.Stop();
  if (!quiet) {
    PrintLine(std::string("qs-sim: stopped") + (stoppedBy == SIGINT ? " by SIGINT" : stoppedBy == SIGTERM ? " by SIGTERM" : "") +
              " after " + std::to_string(simulator.FramesServed()) + " frames");
  }
  // A recording that could no longer be read ended the replay.
  if (simulator.Failed()) {
    std::fprintf(stderr, "qs-sim: %s: %s\n", replay.c_str(), simulator.LastError().c_str());
    return 1;
  }
  return 0;
}
