// qs-record: records a capture server's stream losslessly. It connects to
// the server as a host of the library does, asks for the chosen data kinds
// and writes every packet the server sends, handshake first, byte for byte,
// with its receive time. Packets are read through the library's own stream
// session (the connection, handshake and request loop of the stream
// client), so a recording never holds a packet the library would refuse.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "stream/stream_session.h"
#include "streamio/object_types.h"
#include "tools/command_line.h"
#include "tools/recording/recording.h"

namespace {

using boost::asio::ip::tcp;
using QSTools::Format;
using QSTools::ParseUnsigned;
using Clock = std::chrono::steady_clock;

const char Usage[] =
    "Usage: qs-record HOST -o FILE [options]\n"
    "Records what a capture server sends, every packet byte for byte with its\n"
    "receive time, into FILE (see docs/recording-format.md).\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE  the recording to write (replaced when the recording ends)\n"
    "  --segments --markers --forces\n"
    "                     the data kinds to ask for (all three unless some are named)\n"
    "  --duration S       stop after S seconds\n"
    "  --frames N         stop after N frames\n"
    "  --port N           the server's port (default 801)\n"
    "  --request          ask for one frame per request (stream mode 0), as the\n"
    "                     library does: a server that paces by requests skips\n"
    "                     frames whenever a request comes late\n"
    "  --push             ask the server to send every frame without waiting for\n"
    "                     requests (stream mode 1; the default)\n"
    "  --quiet            no live status line (the summary is still printed)\n"
    "  --help             show this text\n"
    "Ctrl-C, SIGTERM or SIGHUP stop the recording. FILE is written beside its\n"
    "place and renamed to it when the recording ends; it ends on the last whole\n"
    "packet whatever ended it (a full disk too). A recording without even the\n"
    "server's first packet is not kept, and a previous FILE then stays.\n"
    "Exit status: 0 when the recording ended normally, 1 when the server could\n"
    "not be reached, sent something the library refuses or the file could not\n"
    "be written, 2 for a bad command line, 3 when the server ended the connection\n"
    "before --duration or --frames was reached (the file is kept).\n";

struct VOptions {
  std::string Host;
  std::string Output;
  bool Segments = false;
  bool Markers = false;
  bool Forces = false;
  double Duration = 0;  // 0: no limit
  uint64_t Frames = 0;  // 0: no limit
  int Port = 801;
  bool Push = true;  // stream mode 1: the server sends every frame without waiting for requests
  bool Quiet = false;
};

// 0: run; 1: help shown; 2: bad command line (message printed).
int ParseOptions(int argc, char** argv, VOptions& options) {
  QSTools::VCommandLine line("qs-record", argc, argv);
  while (line.Next()) {
    const char* value = nullptr;
    unsigned long long number = 0;
    if (line.Flag({"--help", "-h"})) {
      std::fputs(Usage, stdout);
      return 1;
    } else if (line.Flag({"--segments"})) {
      options.Segments = true;
    } else if (line.Flag({"--markers"})) {
      options.Markers = true;
    } else if (line.Flag({"--forces"})) {
      options.Forces = true;
    } else if (line.Flag({"--quiet", "-q"})) {
      options.Quiet = true;
    } else if (line.Flag({"--push"})) {
      options.Push = true;
    } else if (line.Flag({"--request"})) {
      options.Push = false;
    } else if ((value = line.Value({"-o", "--output"})) && *value != '\0') {
      options.Output = value;
    } else if ((value = line.Value({"--duration"})) && QSTools::ParseReal(value, 0.0, HUGE_VAL, options.Duration) &&
               options.Duration > 0) {
    } else if ((value = line.Value({"--frames"})) &&
               ParseUnsigned(value, std::numeric_limits<uint64_t>::max(), number) && number > 0) {
      options.Frames = number;
    } else if ((value = line.Value({"--port"})) && ParseUnsigned(value, 65535, number)) {
      options.Port = static_cast<int>(number);
    } else if (line.Positional() && options.Host.empty()) {
      options.Host = line.Arg();
    } else {
      return line.Bad();
    }
  }
  if (options.Host.empty() || options.Output.empty()) {
    std::fprintf(stderr, "qs-record: name the server and the file: qs-record HOST -o FILE (see --help)\n");
    return 2;
  }
  if (!options.Segments && !options.Markers && !options.Forces) {
    options.Segments = options.Markers = options.Forces = true;
  }
  return 0;
}

// The object types a host of the library asks for: scene descriptions and
// frame numbers always, then those of each enabled data kind.
std::set<int32_t> RequestedTypes(const VOptions& options) {
  using LumoraQSStream::EDataKind;
  std::set<int32_t> types;
  auto add = [&](EDataKind kind) {
    for (int32_t type : LumoraQSStream::TypesOfKind(kind)) types.insert(type);
  };
  add(EDataKind::Scene);
  if (options.Segments) add(EDataKind::Segments);
  if (options.Markers) add(EDataKind::Markers);
  if (options.Forces) add(EDataKind::ForcePlates);
  return types;
}

std::string SizeText(uint64_t bytes) {
  if (bytes < 10 * 1024) return Format("%llu B", static_cast<unsigned long long>(bytes));
  if (bytes < 10 * 1024 * 1024) return Format("%.1f KiB", bytes / 1024.0);
  return Format("%.1f MiB", bytes / (1024.0 * 1024.0));
}

// Frame numbers seen, and the numbers missing between consecutive frames.
struct VFrameCount {
  static constexpr std::size_t ListedGaps = 10;
  uint64_t Frames = 0;
  int32_t First = 0;
  int32_t Last = 0;
  uint64_t Missing = 0;
  uint64_t Gaps = 0;
  uint64_t Backwards = 0;  // a frame number not above the one before
  std::vector<std::pair<int64_t, int64_t>> Listed;

  void Add(int32_t frame) {
    if (Frames == 0) {
      First = frame;
    } else if (static_cast<int64_t>(frame) > static_cast<int64_t>(Last) + 1) {
      const int64_t from = static_cast<int64_t>(Last) + 1;
      Missing += static_cast<uint64_t>(frame - from);
      ++Gaps;
      if (Listed.size() < ListedGaps) Listed.emplace_back(from, static_cast<int64_t>(frame) - 1);
    } else if (frame <= Last) {
      ++Backwards;
    }
    Last = frame;
    ++Frames;
  }
};

// What the recording thread has done so far, read by the main thread.
struct VProgress {
  std::mutex Mutex;
  VFrameCount Count;
  uint64_t Packets = 0;
  uint64_t Bytes = 0;
  double Seconds = 0;  // receive time of the last packet
  bool Done = false;
  bool Failed = false;
  bool EndedEarly = false;  // the server ended before the limit asked for
  std::string Ending;       // why it ended
};

// Writes what the stream session receives: the handshake at once, every
// data packet once the next request has gone out, so that the server is not
// kept waiting for the disk.
class VRecorder : private LumoraQSStream::IStreamSessionObserver {
 public:
  VRecorder(const VOptions& options, LumoraQSStream::VStreamSession& session, QSRecording::VWriter& writer,
            Clock::time_point start, VProgress& progress)
      : Options(options), Session(session), Writer(writer), Start(start), Progress(progress) {}

  // Runs until the connection ends, a packet is refused, the file cannot
  // be written or the frame limit is reached.
  void Run() {
    std::string ending;
    bool failed = false;
    try {
      failed = !Record(ending);
    } catch (const std::exception& error) {
      failed = true;
      ending = std::string("the connection failed: ") + error.what();
    }
    std::lock_guard<std::mutex> lock(Progress.Mutex);
    Progress.Done = true;
    Progress.Failed = failed;
    Progress.EndedEarly = EndedEarly;
    Progress.Ending = ending;
  }

  // Wakes a read blocked on the socket.
  void Stop() {
    Stopping = true;
    Session.Shutdown();
  }

 private:
  // A packet read but not yet written.
  struct VPending {
    bool Held = false;
    std::vector<uint8_t> Bytes;
    int64_t Ns = 0;
    bool Frame = false;
    int32_t FrameNumber = 0;
  };

  bool Record(std::string& ending) {
    Session.SetRequestedTypes(RequestedTypes(Options));
    Session.SetStreamMode(Options.Push ? 1 : 0);
    const LumoraQSStream::VReadResult end = Session.Run(*this);
    // A packet still held when the loop ended (its next request could not
    // be sent) is whole: it is kept.
    if (!WriteFailed && Pending.Held) Flush();
    if (WriteFailed) {
      ending = WriteError;
      return false;
    }
    using LumoraQSStream::EEndReason;
    const bool readFailed = end.Reason == EEndReason::PeerClosed || end.Reason == EEndReason::SocketError;
    if (!Session.HandshakeRead()) {
      if (end.Reason == EEndReason::Stopped || readFailed) {
        ending = Stopping ? "stopped before the server's first packet" : "the server closed the connection before its first packet";
        return Stopping;
      }
      ending = "the server's first packet is not a handshake the library accepts: " + end.Describe();
      return false;
    }
    if (FramesDone) {
      ending = Format("%llu frames recorded", static_cast<unsigned long long>(Options.Frames));
      return true;
    }
    // A packet cut short by the end of the connection is not kept.
    if (end.Reason == EEndReason::Stopped || readFailed) {
      ending = Stopping ? "" : "the server closed the connection";
      EndedEarly = !Stopping && (Options.Duration > 0 || Options.Frames != 0);
      return true;
    }
    ending = "the server sent " + end.Describe() + "; the library ends a connection there, and so does the recording";
    return false;
  }

  int64_t SinceStart(Clock::time_point at) const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at - Start).count();
  }

  bool OnHandshake(const LumoraQSStream::VReceivedPacket& packet) override {
    return Keep(packet.Bytes, SinceStart(packet.ReceivedAt), false, 0);
  }

  bool OnPacket(const LumoraQSStream::VReceivedPacket& packet,
                const LumoraQSStream::VPacketDelivery& delivery) override {
    const bool frame = delivery.Dynamic != nullptr;
    const int32_t frameNumber = frame ? delivery.Dynamic->FrameNumber : 0;
    if (frame && Options.Frames != 0 && ++FramesKept >= Options.Frames) {
      // The last packet: no request follows it, so it is written now.
      FramesDone = Keep(packet.Bytes, SinceStart(packet.ReceivedAt), frame, frameNumber);
      return false;
    }
    Pending.Held = true;
    Pending.Bytes.assign(packet.Bytes.begin(), packet.Bytes.end());
    Pending.Ns = SinceStart(packet.ReceivedAt);
    Pending.Frame = frame;
    Pending.FrameNumber = frameNumber;
    return true;
  }

  bool OnRequestSent() override { return !Pending.Held || Flush(); }

  bool Flush() {
    Pending.Held = false;
    return Keep(Pending.Bytes, Pending.Ns, Pending.Frame, Pending.FrameNumber);
  }

  // False (with WriteError) when the file cannot take the packet.
  bool Keep(const std::vector<uint8_t>& packet, int64_t ns, bool frame, int32_t frameNumber) {
    if (!Writer.Append(ns, packet.data(), packet.size())) {
      WriteFailed = true;
      WriteError = Writer.Error();
      return false;
    }
    std::lock_guard<std::mutex> lock(Progress.Mutex);
    ++Progress.Packets;
    Progress.Bytes = Writer.Bytes();
    Progress.Seconds = ns / 1e9;
    if (frame) Progress.Count.Add(frameNumber);
    return true;
  }

  const VOptions& Options;
  LumoraQSStream::VStreamSession& Session;
  QSRecording::VWriter& Writer;
  const Clock::time_point Start;
  VProgress& Progress;
  std::atomic<bool> Stopping{false};
  uint64_t FramesKept = 0;
  bool FramesDone = false;
  bool EndedEarly = false;
  VPending Pending;
  bool WriteFailed = false;
  std::string WriteError;
};

std::string StatusLine(VProgress& progress, double seconds) {
  std::lock_guard<std::mutex> lock(progress.Mutex);
  const VFrameCount& count = progress.Count;
  std::string line = Format("frames %llu  %.1f fps  %s  missing %llu", static_cast<unsigned long long>(count.Frames),
                            seconds > 0 ? count.Frames / seconds : 0.0, SizeText(progress.Bytes).c_str(),
                            static_cast<unsigned long long>(count.Missing));
  if (!count.Listed.empty()) {
    const auto& gap = count.Listed.back();
    line += gap.first == gap.second ? Format(" (last: %lld)", static_cast<long long>(gap.first))
                                    : Format(" (last: %lld-%lld)", static_cast<long long>(gap.first),
                                             static_cast<long long>(gap.second));
  }
  return line;
}

// `written`: the size of the file left at the output, 0 when none was.
void PrintSummary(VProgress& progress, const VOptions& options, double seconds, uint64_t written) {
  std::lock_guard<std::mutex> lock(progress.Mutex);
  const VFrameCount& count = progress.Count;
  std::printf("qs-record: %llu frames", static_cast<unsigned long long>(count.Frames));
  if (count.Frames > 0) std::printf(" (numbers %d to %d)", count.First, count.Last);
  const std::string file = written > 0 ? SizeText(written) + " to " + options.Output
                                       : "no recording written (" + options.Output + " left as it was)";
  std::printf(" and %llu packets in %.2f s, %.1f frames/s in stream mode %d, %s\n",
              static_cast<unsigned long long>(progress.Packets), seconds, seconds > 0 ? count.Frames / seconds : 0.0,
              options.Push ? 1 : 0, file.c_str());
  if (count.Missing == 0) {
    std::printf("qs-record: no frame numbers missing\n");
  } else {
    std::string gaps;
    for (const auto& gap : count.Listed) {
      gaps += gap.first == gap.second ? Format(" %lld", static_cast<long long>(gap.first))
                                      : Format(" %lld-%lld", static_cast<long long>(gap.first), static_cast<long long>(gap.second));
    }
    if (count.Gaps > count.Listed.size()) gaps += " ...";
    std::printf("qs-record: %llu frame numbers missing in %llu gaps:%s\n", static_cast<unsigned long long>(count.Missing),
                static_cast<unsigned long long>(count.Gaps), gaps.c_str());
  }
  if (count.Backwards > 0) {
    std::printf("qs-record: %llu times a frame number was not above the one before\n",
                static_cast<unsigned long long>(count.Backwards));
  }
}

}  // namespace

int main(int argc, char** argv) {
  VOptions options;
  const int parsed = ParseOptions(argc, argv, options);
  if (parsed != 0) return parsed == 1 ? 0 : 2;

  // Connecting may take a while; until the recording starts, Ctrl-C simply
  // ends the program.
  // As the library connects: each address given at most ConnectTimeout,
  // and the connection watched for a server that vanishes.
  LumoraQSStream::VStreamSession session(LumoraQSStream::VStreamSession::ERawBytes::Keep);
  boost::system::error_code error;
  const std::vector<tcp::endpoint> endpoints = session.Resolve(options.Host, error);
  if (error) {
    std::fprintf(stderr, "qs-record: cannot resolve %s: %s\n", options.Host.c_str(), error.message().c_str());
    return 1;
  }
  error = session.Connect(endpoints, options.Port);
  if (error) {
    std::fprintf(stderr, "qs-record: cannot connect to %s:%d: %s\n", options.Host.c_str(), options.Port,
                 error.message().c_str());
    return 1;
  }
  session.SetNoDelay();
  const Clock::time_point start = Clock::now();
  QSRecording::VHeader header;
  header.StartUnixNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  header.Port = options.Port;
  header.Host = options.Host;
  header.RequestedTypes = RequestedTypes(options);

  // SIGINT, SIGTERM and SIGHUP are taken by this thread below, and end the
  // recording with a complete file. Blocked before the file is started and
  // the recording thread runs, they never interrupt either.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The file is written beside FILE and takes its place when the recording
  // ends; a file that cannot even take its header leaves nothing behind.
  QSRecording::VWriter writer;
  if (!writer.Create(options.Output, header)) {
    std::fprintf(stderr, "qs-record: %s (%s left as it was)\n", writer.Error().c_str(), options.Output.c_str());
    return 1;
  }

  const bool tty = isatty(STDOUT_FILENO) == 1;
  if (!options.Quiet) {
    std::printf("qs-record: recording %s:%d to %s, %s\n", options.Host.c_str(), options.Port, options.Output.c_str(),
                options.Push ? "stream mode 1 (push: every frame)" : "stream mode 0 (one frame per request)");
    std::fflush(stdout);
  }
  VProgress progress;
  progress.Bytes = writer.Bytes();
  VRecorder recorder(options, session, writer, start, progress);
  std::thread recording(&VRecorder::Run, &recorder);

  std::string stoppedBy;
  Clock::time_point nextStatus = start + std::chrono::seconds(1);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(progress.Mutex);
      if (progress.Done) break;
    }
    const timespec wait{0, 50 * 1000 * 1000};
    const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) {
      stoppedBy = signal == SIGINT ? "stopped by Ctrl-C" : signal == SIGTERM ? "stopped by SIGTERM" : "stopped by SIGHUP";
      break;
    }
    if (options.Duration > 0 && elapsed >= options.Duration) {
      stoppedBy = Format("%g s recorded", options.Duration);
      break;
    }
    if (!options.Quiet && Clock::now() >= nextStatus) {
      const std::string line = StatusLine(progress, elapsed);
      if (tty) {
        std::printf("\r\033[K%s", line.c_str());
      } else {
        std::printf("%s\n", line.c_str());
      }
      std::fflush(stdout);
      nextStatus += tty ? std::chrono::milliseconds(250) : std::chrono::seconds(1);
    }
  }
  recorder.Stop();
  recording.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (tty && !options.Quiet) std::printf("\r\033[K");

  bool failed = false;
  bool endedEarly = false;
  bool kept = false;
  std::string ending;
  {
    std::lock_guard<std::mutex> lock(progress.Mutex);
    failed = progress.Failed;
    endedEarly = progress.EndedEarly && stoppedBy.empty();
    ending = progress.Ending;
    // A recording is kept when it holds at least the server's handshake:
    // without it no reader can use the file.
    kept = progress.Packets > 0;
  }
  if (!stoppedBy.empty()) ending = stoppedBy;
  bool closed = true;
  if (kept) {
    closed = writer.Close();
  } else {
    writer.Discard();
  }
  PrintSummary(progress, options, seconds, kept && closed ? writer.Bytes() : 0);
  if (!closed) {
    std::fprintf(stderr, "qs-record: %s (%s left as it was)\n", writer.Error().c_str(), options.Output.c_str());
    return 1;
  }
  if (failed) {
    std::fprintf(stderr, kept ? "qs-record: %s (the file holds every whole packet before it)\n" : "qs-record: %s\n",
                 ending.c_str());
    return 1;
  }
  if (endedEarly) {
    std::fprintf(stderr, "qs-record: %s before %s was reached (%s kept)\n", ending.c_str(),
                 options.Frames != 0 ? "--frames" : "--duration", kept ? options.Output.c_str() : "nothing");
    return 3;
  }
  if (!ending.empty()) std::printf("qs-record: %s\n", ending.c_str());
  return 0;
}
