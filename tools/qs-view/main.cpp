// qs-view: a live 3D view of a capture server in the web browser. It is a
// host of the library like any other, through the exported functions of QS.h
// only, so the page shows exactly what a host gets in the axes it chose. It
// serves one page and pushes the frames to it as Server-Sent Events.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>

#include "tools/host/host_connection.h"
#include "tools/qs-view/event_server.h"
#include "tools/qs-view/frame_json.h"
#include "tools/qs-view/host_check.h"
#include "tools/qs-view/options.h"
#include "tools/qs-view/page.h"
#include "tools/qs-view/plate_samples.h"

namespace {

void Say(const std::string& text) {
  std::fprintf(stdout, "qs-view: %s\n", text.c_str());
  std::fflush(stdout);
}

bool IsWildcard(const std::string& endpoint) {
  return endpoint.rfind("0.0.0.0:", 0) == 0 || endpoint.rfind("[::]:", 0) == 0;
}

// This machine's host name ("" when it has none).
std::string HostName() {
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

// What to type into a browser for the address the page is served on.
std::string PageAddress(const std::string& endpoint) {
  const std::size_t colon = endpoint.rfind(':');
  const std::string port = endpoint.substr(colon + 1);
  if (IsWildcard(endpoint)) {
    const std::string name = HostName();
    return "http://" + (name.empty() ? "localhost" : name) + ":" + port + "/ (any address of this machine)";
  }
  return "http://" + endpoint + "/";
}

// The stream's frame rate from the frame numbers of the frames taken over
// the last StreamRateWindow: it counts the frames qs-view did not take too,
// so a busy machine does not make the stream look slower than it is.
class VStreamRate {
 public:
  static constexpr std::chrono::milliseconds StreamRateWindow{1000};

  void Add(SteadyClock::time_point at, int32_t frame) {
    if (!Taken.empty() && frame <= Taken.back().second) Taken.clear();  // the stream started again
    Taken.emplace_back(at, frame);
    while (Taken.size() > 2 && at - Taken.front().first > StreamRateWindow) Taken.pop_front();
  }
  void Clear() { Taken.clear(); }
  double Rate() const {
    if (Taken.size() < 2) return 0;
    const double seconds = std::chrono::duration<double>(Taken.back().first - Taken.front().first).count();
    return seconds > 0 ? (Taken.back().second - Taken.front().second) / seconds : 0;
  }

 private:
  std::deque<std::pair<SteadyClock::time_point, int32_t>> Taken;
};

// Milliseconds since the Unix epoch on this machine's clock.
long long WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool IsLoopback(const std::string& endpoint) {
  return endpoint.rfind("127.", 0) == 0 || endpoint.rfind("[::1]", 0) == 0;
}

int Run(const ViewOptions& options) {
  QSView::VServerLimits limits;
  limits.MaxViewers = options.MaxViewers;
  QSView::VEventServer server(QSView::PageText(), limits);
  std::string error;
  const bool serving = options.HttpFd >= 0 ? server.Adopt(options.HttpFd, error)
                                           : server.Listen(options.HttpAddress, options.HttpPort, error);
  if (!serving) {
    std::fprintf(stderr, "qs-view: %s\n", error.c_str());
    return 1;
  }
  // The options' names were checked when they were read. The machine's own
  // name is the one the page address printed below gives when it listens on
  // every address.
  for (const std::string& name : options.AllowedHosts) (void)server.AllowHost(name);
  if (IsWildcard(server.LocalEndpoint()) && QSView::IsHostName(HostName())) (void)server.AllowHost(HostName());
  // The I/O thread leaves the stop signals to the main thread.
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  server.Start();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  const std::string endpoint = server.LocalEndpoint();
  Say("open " + PageAddress(endpoint) + " in a browser");
  if (!IsLoopback(endpoint)) Say("the page is served beyond this machine: anyone who reaches it sees the stream");

  VHostConnection source(options);
  const QSView::VAxes axes{options.YUp, options.LeftHanded, options.Units};
  const std::string host = source.Endpoint();
  QSView::VPlateSamples samples(options.Host, axes);
  if (options.Forces) samples.Start();
  const auto start = SteadyClock::now();
  const auto period = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / options.EventRate));
  auto lastSent = start - std::chrono::hours(1);
  bool framePending = false;
  bool failureSaid = false;
  VStreamRate streamRate;
  auto taken = start;  // when the library gave the newest frame
  server.Publish(QSView::StatusJson(host, "connecting", axes));

  while (!StopRequested()) {
    if (options.Duration > 0 && SteadyClock::now() - start >= std::chrono::duration<double>(options.Duration)) break;
    switch (source.Poll()) {
      case FrameEvent::Idle:
        break;
      case FrameEvent::Connected:
        Say("connected to " + host);
        failureSaid = false;
        samples.AllowConnecting(true);
        server.Publish(QSView::StatusJson(host, "connected", axes));
        break;
      case FrameEvent::ConnectFailed:
        if (!failureSaid) Say("cannot connect to " + host + "; retrying");
        failureSaid = true;
        break;
      case FrameEvent::Lost:
        Say("connection lost (" + host + "); reconnecting");
        framePending = false;
        streamRate.Clear();
        samples.AllowConnecting(false);
        server.Publish(QSView::StatusJson(host, "lost", axes));
        break;
      case FrameEvent::NewFrame:
        framePending = true;
        taken = SteadyClock::now();
        streamRate.Add(taken, source.FrameNumber());
        break;
    }
    // The newest frame goes out once the period since the last one is over;
    // frames in between are never read.
    const auto now = SteadyClock::now();
    if (framePending && now - lastSent >= period) {
      std::string message = QSView::ReadFrameJson(host, streamRate.Rate(), axes);
      // The full-rate samples and the frame's age ride in the frame's
      // message, before its end: "held" is how long ago (ms) the library
      // gave the frame, "sent" this machine's clock (ms since the epoch).
      message.pop_back();
      if (options.Forces) samples.AppendJson(message);
      message += R"(,"held":)" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now - taken).count());
      message += R"(,"sent":)" + std::to_string(WallMs());
      message += '}';
      server.Publish(message);
      lastSent = now;
      framePending = false;
    }
  }

  samples.Stop();
  server.Stop();
  source.Close();
  Say(std::to_string(source.FramesSeen()) + " frames received");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ViewOptions options;
  std::string error;
  const int status = CommandLineStatus(ParseViewOptions(argc, argv, options, error), "qs-view", error, PrintViewUsage);
  if (status >= 0) return status;
  CatchStopSignals();
  return Run(options);
}
