// End-to-end benchmark of libQS.so through its exported functions over
// loopback, each figure beside a raw-socket baseline measured in the same
// run:
//
//   (a) throughput in stream mode 0: distinct frames per second seen by a
//       host loop of GetFrame/GetFrameNumber, against a raw client doing the
//       same request-and-read loop on a plain socket without decoding; with
//       an unpaced qs-sim (its demo scene) and with the simulator, in this
//       program, streaming the heavy reference scene;
//   (b) latency from the server writing a frame to GetFrameNumber (prefetch
//       on) seeing it, median and 99th percentile, against the raw client
//       reading the same packet and against a small-message ping-pong's half
//       round trip;
//   (c) CPU time per frame of the library's receiving thread.
//
// The exports always connect to port 801: run the program in a private
// network namespace, e.g. `unshare -n sh -c 'ip link set lo up && exec
// ./qs_e2e_bench'` as root (see bench/README.md).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QS.h"
#include "bench/export_types.h"
#include "bench/heavy_scene.h"
#include "bench/heavy_scene_source.h"
#include "serve/listener.h"
#include "serve/wire_encoder.h"
#include "streamio/field_at.h"
#include "streamio/object_types.h"
#include "tools/sim/scene.h"
#include "tools/sim/scene_source.h"
#include "tools/sim/simulator.h"

namespace {

using LumoraQSStreamIO::Int32At;
using QSBench::ExportTypes;
using QSBench::VBytes;
using Clock = std::chrono::steady_clock;

constexpr uint16_t ServerPort = 801;

// Sleep of the throughput host loop between polls (0: busy polling, -1: a
// yield of the processor between polls).
int HostPauseUs = 0;
constexpr int32_t PacketMagicValue = 0x1A2B3C4D;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t index = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// ---- CPU time of one thread of this process -----------------------------------

std::set<int> ThreadIds() {
  std::set<int> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ids.insert(std::atoi(entry->d_name));
    }
    closedir(dir);
  }
  return ids;
}

// Nanoseconds of CPU time of thread `tid`: the kernel's per-thread CPU clock
// where it can be read, otherwise utime + stime from /proc (clock ticks).
double ThreadCpuNs(int tid) {
  const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
  timespec ts{};
  if (clock_gettime(clock, &ts) == 0) return ts.tv_sec * 1e9 + ts.tv_nsec;
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// ---- Plain sockets ---------------------------------------------------------------

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, p, size, 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// One packet (magic, length, payload) into `buffer`, which keeps its
// capacity from packet to packet.
bool ReadPacket(int fd, VBytes& buffer) {
  uint8_t header[8];
  if (!ReadAll(fd, header, 8) || Int32At(header) != PacketMagicValue) return false;
  const int32_t length = Int32At(header + 4);
  if (length < 0) return false;
  buffer.resize(8 + static_cast<std::size_t>(length));
  std::memcpy(buffer.data(), header, 8);
  return ReadAll(fd, buffer.data() + 8, static_cast<std::size_t>(length));
}

int ConnectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// ---- The bench's server: the simulator ----------------------------------------------

// Forwards to a frame source and keeps, per frame, the time its packet was
// made, which is just before the simulator writes it (the host's clock).
class VStampedSource : public LumoraQSSim::VFrameSource {
 public:
  explicit VStampedSource(std::unique_ptr<LumoraQSSim::VFrameSource> inner) : Inner(std::move(inner)) {
    for (auto& slot : WriteTimes) slot.store(0);
    for (auto& slot : Frames) slot.store(0);
  }

  VBytes Handshake() const override { return Inner->Handshake(); }
  bool Paced() const override { return Inner->Paced(); }
  double DueAt(int64_t frame) const override { return Inner->DueAt(frame); }
  int64_t DueBy(double seconds) const override { return Inner->DueBy(seconds); }
  int64_t LastFrame() const override { return Inner->LastFrame(); }
  bool IsStaticType(int32_t type) const override { return Inner->IsStaticType(type); }
  bool IsDynamicType(int32_t type) const override { return Inner->IsDynamicType(type); }
  bool SceneChangedBetween(int64_t from, int64_t to) const override { return Inner->SceneChangedBetween(from, to); }
  bool Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic, VBytes& packet,
              std::string& error) const override {
    if (!Inner->Packet(frame, requested, withStatic, packet, error)) return false;
    // Both sources put the frame on the wire as its number, wrapped to 32 bits.
    const int32_t number = static_cast<int32_t>(frame % 2147483648LL);
    const std::size_t index = static_cast<uint32_t>(number) % WriteTimes.size();
    WriteTimes[index].store(NowNs(), std::memory_order_release);
    Frames[index].store(number, std::memory_order_release);
    return true;
  }

  // Nanoseconds (steady clock) just before frame `frame` was written; 0 if
  // not (or no longer) known.
  int64_t WriteTime(int32_t frame) const {
    const std::size_t index = static_cast<uint32_t>(frame) % WriteTimes.size();
    if (Frames[index].load(std::memory_order_acquire) != frame) return 0;
    return WriteTimes[index].load(std::memory_order_acquire);
  }

 private:
  const std::unique_ptr<LumoraQSSim::VFrameSource> Inner;
  mutable std::array<std::atomic<int64_t>, 4096> WriteTimes;
  mutable std::array<std::atomic<int32_t>, 4096> Frames;
};

// The simulator serving `source` on loopback port 801, one client at a
// time: handshake, then in stream mode 0 one packet per request, the scene
// description with the first, frame numbers going up by one (paced at the
// source's rate, unpaced at rate 0). The time just before each frame's
// write is kept for latency measurements.
class VBenchServer {
 public:
  explicit VBenchServer(std::unique_ptr<LumoraQSSim::VFrameSource> source) {
    auto stamped = std::make_unique<VStampedSource>(std::move(source));
    Stamps = stamped.get();
    LumoraQSSim::VSimulatorOptions options;
    options.Address = "127.0.0.1";
    options.Port = ServerPort;
    options.StaticEvery = 0;  // the description only with the first packet
    options.ClockStartsOnConnect = true;
    Simulator = std::make_unique<LumoraQSSim::VSimulator>(options, std::move(stamped));
  }

  bool Start() { return Simulator->Start(); }
  void Stop() { Simulator->Stop(); }
  int64_t WriteTime(int32_t frame) const { return Stamps->WriteTime(frame); }

 private:
  const VStampedSource* Stamps = nullptr;
  std::unique_ptr<LumoraQSSim::VSimulator> Simulator;
};

// ---- qs-sim as a child process ---------------------------------------------------------

class VSimProcess {
 public:
  bool Start(const std::string& path) {
    Pid = fork();
    if (Pid < 0) return false;
    if (Pid == 0) {
      execl(path.c_str(), path.c_str(), "--rate", "0", "--port", "801", "--quiet", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Ready once it accepts a connection (which it then drops: the next
    // client replaces this one).
    for (int i = 0; i < 200; ++i) {
      const int fd = ConnectLoopback(ServerPort);
      if (fd >= 0) {
        ::close(fd);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  ~VSimProcess() {
    if (Pid > 0) {
      kill(Pid, SIGTERM);
      int status = 0;
      waitpid(Pid, &status, 0);
    }
  }

 private:
  pid_t Pid = -1;
};

// Keeps one processor busy, as the polling host loop does while the exports
// are measured, so the raw client meets the same competition for the
// processors as the library's receiving thread.
class VBusyHost {
 public:
  VBusyHost() : Thread([this] {
    uint64_t turns = 0;
    while (!Stop.load(std::memory_order_relaxed)) Sink = ++turns;
  }) {}
  ~VBusyHost() {
    Stop = true;
    Thread.join();
  }
  VBusyHost(const VBusyHost&) = delete;
  VBusyHost& operator=(const VBusyHost&) = delete;

 private:
  static inline volatile uint64_t Sink = 0;
  std::atomic<bool> Stop{false};
  std::thread Thread;
};

// ---- Clients ------------------------------------------------------------------------------

struct VThroughput {
  double FramesPerSecond = 0;
  double CpuNsPerFrame = 0;  // receiving thread (exports) or the client thread (raw)
  double HostCpuNsPerFrame = 0;
};

// The raw baseline client: the library's request-and-read loop on a plain
// socket, without decoding. After the server's handshake the first request
// carries the type list; every later one is the 17-byte stream mode 0
// request.
class VRawClient {
 public:
  VRawClient() : Fd(ConnectLoopback(ServerPort)) {
    const VBytes first = LumoraQSServe::EncodeRequest(ExportTypes(), uint8_t{0});
    Ok = Fd >= 0 && ReadPacket(Fd, Answer) && WriteAll(Fd, first.data(), first.size());
  }
  ~VRawClient() {
    if (Fd >= 0) ::close(Fd);
  }
  VRawClient(const VRawClient&) = delete;
  VRawClient& operator=(const VRawClient&) = delete;

  // The next answer, into Packet(); false once anything failed.
  bool Read() { return Ok = Ok && ReadPacket(Fd, Answer); }
  // Asks for the next packet.
  bool Request() { return Ok = Ok && WriteAll(Fd, Mode0.data(), Mode0.size()); }
  const VBytes& Packet() const { return Answer; }

 private:
  const int Fd;
  const VBytes Mode0 = LumoraQSServe::EncodeRequest(std::nullopt, uint8_t{0});
  VBytes Answer;
  bool Ok = false;
};

VThroughput RawThroughput(double seconds) {
  VThroughput result;
  VBusyHost busy;
  VRawClient client;
  bool ok = true;
  // Warm-up: the first answers (scene description) are not counted.
  for (int i = 0; ok && i < 10; ++i) ok = client.Read() && client.Request();
  uint64_t frames = 0;
  const double cpu0 = OwnThreadCpuNs();
  const int64_t start = NowNs();
  const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
  int64_t now = start;
  while (ok && now < end) {
    ok = client.Read() && client.Request();
    if (ok) ++frames;
    if ((frames & 15) == 0) now = NowNs();
  }
  now = NowNs();
  const double cpu = OwnThreadCpuNs() - cpu0;
  if (frames == 0) return result;
  result.FramesPerSecond = static_cast<double>(frames) / ((now - start) / 1e9);
  result.CpuNsPerFrame = cpu / static_cast<double>(frames);
  return result;
}

// Connects through the exports and enables every data kind; returns the id
// of the receiving thread the connection started (0 if not found).
int ConnectExports() {
  const std::set<int> before = ThreadIds();
  if (!Connect("127.0.0.1")) return -1;
  const std::set<int> after = ThreadIds();
  EnableSegmentData();
  EnableMarkerData();
  EnableForcePlateData();
  int receiving = 0;
  for (int id : after) {
    if (!before.count(id)) receiving = id;
  }
  return receiving;
}

bool WaitForFirstFrame(int32_t& frame) {
  const int64_t deadline = NowNs() + 5'000'000'000;
  while (NowNs() < deadline) {
    GetFrame();
    if (GetFrameNumber(&frame)) return true;
  }
  return false;
}

// Connects through the exports (ConnectExports), waits for the first frame,
// switches prefetching on when asked, and settles past the scene
// description and the first requests; `frame` is then the current frame's
// number. False (disconnected again) when no frame came.
bool ConnectAndSettle(bool prefetch, int& receiving, int32_t& frame) {
  receiving = ConnectExports();
  if (receiving < 0 || !WaitForFirstFrame(frame)) {
    Disconnect();
    return false;
  }
  if (prefetch) SetPreFetchMode(1);
  const int64_t settle = NowNs() + 100'000'000;
  while (NowNs() < settle) GetFrame();
  GetFrameNumber(&frame);
  return true;
}

// Host loop through the exports: GetFrame, GetFrameNumber, counting the
// distinct frame numbers seen.
VThroughput ExportThroughput(double seconds) {
  VThroughput result;
  int receiving = 0;
  int32_t frame = 0;
  if (!ConnectAndSettle(false, receiving, frame)) return result;
  int32_t last = frame;
  const int32_t firstSeen = frame;
  uint64_t distinct = 0;
  const double cpu0 = receiving > 0 ? ThreadCpuNs(receiving) : 0;
  const double host0 = OwnThreadCpuNs();
  const int64_t start = NowNs();
  const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
  int64_t now = start;
  uint64_t turns = 0;
  while (now < end) {
    GetFrame();
    if (GetFrameNumber(&frame) && frame != last) {
      last = frame;
      ++distinct;
    }
    if (HostPauseUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(HostPauseUs));
    if (HostPauseUs < 0) std::this_thread::yield();
    if ((++turns & 15) == 0) now = NowNs();
  }
  now = NowNs();
  const double cpu = receiving > 0 ? ThreadCpuNs(receiving) - cpu0 : 0;
  const double host = OwnThreadCpuNs() - host0;
  Disconnect();
  if (distinct == 0) return result;
  result.FramesPerSecond = static_cast<double>(distinct) / ((now - start) / 1e9);
  // Frame numbers go up by one per packet from both servers, so the span of
  // numbers seen is the number of frames the receiving thread took in.
  const double received = static_cast<double>(last - firstSeen);
  result.CpuNsPerFrame = received > 0 ? cpu / received : 0;
  result.HostCpuNsPerFrame = host / static_cast<double>(distinct);
  return result;
}

struct VLatency {
  std::vector<double> Samples;  // microseconds
  double CpuNs = 0;             // receiving thread
  int64_t CpuFrames = 0;        // frames received while CpuNs was counted

  void Add(const VLatency& round) {
    Samples.insert(Samples.end(), round.Samples.begin(), round.Samples.end());
    CpuNs += round.CpuNs;
    CpuFrames += round.CpuFrames;
  }
  double CpuNsPerFrame() const { return CpuFrames > 0 ? CpuNs / static_cast<double>(CpuFrames) : 0; }
};

// Paced server; the host polls GetFrame/GetFrameNumber with prefetching on
// or off and stamps each new frame number when it first sees it.
VLatency ExportLatency(const VBenchServer& server, int frames, bool prefetch) {
  VLatency result;
  int receiving = 0;
  int32_t frame = 0;
  if (!ConnectAndSettle(prefetch, receiving, frame)) return result;
  int32_t last = frame;
  const int32_t firstSeen = frame;
  const double cpu0 = receiving > 0 ? ThreadCpuNs(receiving) : 0;
  const int64_t deadline = NowNs() + 60'000'000'000;
  while (static_cast<int>(result.Samples.size()) < frames && NowNs() < deadline) {
    GetFrame();
    if (!GetFrameNumber(&frame) || frame == last) continue;
    const int64_t seen = NowNs();
    last = frame;
    const int64_t written = server.WriteTime(frame);
    if (written > 0) result.Samples.push_back((seen - written) / 1e3);
  }
  const double cpu = receiving > 0 ? ThreadCpuNs(receiving) - cpu0 : 0;
  SetPreFetchMode(0);
  Disconnect();
  if (last > firstSeen) {
    result.CpuNs = cpu;
    result.CpuFrames = last - firstSeen;
  }
  return result;
}

// The raw client against the same paced server: time from the server's
// write to the whole packet read.
VLatency RawLatency(const VBenchServer& server, int frames) {
  VLatency result;
  VRawClient client;
  const int64_t deadline = NowNs() + 60'000'000'000;
  int skip = 5;
  while (static_cast<int>(result.Samples.size()) < frames && NowNs() < deadline) {
    if (!client.Read()) break;
    const int64_t seen = NowNs();
    const VBytes& packet = client.Packet();
    if (packet.size() >= 20 && Int32At(packet.data() + 8) == LumoraQSStream::FrameNumber && skip-- <= 0) {
      const int64_t written = server.WriteTime(Int32At(packet.data() + QSBench::FrameNumberOffset));
      if (written > 0) result.Samples.push_back((seen - written) / 1e3);
    }
    if (!client.Request()) break;
  }
  return result;
}

// Half the round trip of a 17-byte message bounced over loopback, both ends
// with TCP_NODELAY (as the simulator and the bench server set it), so that
// no send waits for an acknowledgement. `pause` is the time between rounds:
// zero bounces back to back; the latency runs' frame period lets both ends
// go idle between rounds, as the client and server do between paced frames.
std::vector<double> PingPongHalfRoundTrip(int rounds, std::chrono::nanoseconds pause) {
  std::vector<double> samples;
  LumoraQSServe::VListener listener;
  std::string error;
  if (!listener.Open("127.0.0.1", 0, true, error)) return samples;
  const int one = 1;
  std::thread echo([&] {
    const int fd = listener.Accept();
    if (fd < 0) return;
    uint8_t message[17];
    while (ReadAll(fd, message, sizeof message) && WriteAll(fd, message, sizeof message)) {
    }
    ::close(fd);
  });
  const int fd = ConnectLoopback(listener.Port());
  if (fd >= 0) {
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t message[17] = {};
    for (int i = 0; i < rounds; ++i) {
      const int64_t start = NowNs();
      if (!WriteAll(fd, message, sizeof message) || !ReadAll(fd, message, sizeof message)) break;
      if (i >= 10) samples.push_back((NowNs() - start) / 2e3);
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }
  listener.Wake();
  echo.join();
  return samples;
}

// ---- The program -------------------------------------------------------------------------

struct VOptions {
  std::string SimPath;
  double Seconds = 3;
  int Repeats = 3;
  int LatencyFrames = 2000;
  double LatencyRate = 200;
  // Rounds in which the raw client and the exports with prefetching on and
  // off take turns at the latency measurement. The machine's speed drifts
  // within a second (one raw turn of two seconds read 46 us in its first
  // half and 80 us in its second), so turns are kept to half a second at
  // the default frames and rate.
  int LatencyRounds = 20;
  int HostPauseUs = 0;  // sleep of the throughput host loop between polls
  std::string Scene;    // "demo" or "heavy": only that scene's figures; empty: both
};


std::string DefaultSimPath() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "qs-sim";
  self[n] = '\0';
  std::string dir(self);
  dir = dir.substr(0, dir.rfind('/'));
  return dir + "/../tools/qs-sim";
}

// The verdict on a latency ratio: a ratio of zero means one of its medians
// had no samples (too few frames, or a path that failed), which meets
// nothing.
const char* AtMost(double ratio, double target) {
  if (!(ratio > 0)) return "no data";
  return ratio <= target ? "met" : "MISSED";
}

void PrintThroughputRow(const char* server, const char* client, const std::vector<VThroughput>& runs,
                        double baseline, bool exports) {
  std::vector<double> fps, cpu, host;
  for (const VThroughput& r : runs) {
    fps.push_back(r.FramesPerSecond);
    cpu.push_back(r.CpuNsPerFrame / 1e3);
    host.push_back(r.HostCpuNsPerFrame / 1e3);
  }
  const double median = Median(fps);
  std::printf("%-14s %-12s %12.0f", server, client, median);
  if (exports && baseline > 0) {
    // The heavy scene's frames take long enough to read that asking for the
    // next one only after the last was delivered caps the exports at about
    // 0.79 of the raw client: its target is 0.75.
    const double target = std::strcmp(server, "heavy") == 0 ? 0.75 : 0.9;
    const double ratio = median / baseline;
    std::printf(" %8.2f %5s%.2f %-7s", ratio, ">= ", target, ratio >= target ? "met" : "MISSED");
  } else {
    std::printf(" %8s %8s %-7s", "1.00", "", "");
  }
  std::printf(" %12.1f %12.1f   [", Median(cpu), exports ? Median(host) : 0.0);
  for (std::size_t i = 0; i < fps.size(); ++i) std::printf("%s%.0f", i ? " " : "", fps[i]);
  std::printf("]\n");
}

int Run(const VOptions& options) {
  {
    LumoraQSServe::VListener probe;
    std::string error;
    if (!probe.Open("127.0.0.1", ServerPort, true, error)) {
      std::fprintf(stderr,
                   "cannot bind 127.0.0.1:801: run inside a private network namespace as root, e.g.\n"
                   "  unshare -n sh -c 'ip link set lo up && exec %s'\n",
                   "qs_e2e_bench");
      return 2;
    }
  }
  const QSBench::VHeavyScene heavy;
  std::printf("end-to-end over loopback, %d runs of %.1f s per throughput figure (medians)\n", options.Repeats,
              options.Seconds);
  std::printf("heavy scene: static packet %zu bytes, dynamic packet %zu bytes\n\n", heavy.StaticPacket().size(),
              heavy.DynamicPacket(1).size());

  // (a) throughput and (c) CPU per frame.
  std::printf("(a) throughput, stream mode 0, unpaced server; (c) CPU per frame\n");
  std::printf("%-14s %-12s %12s %8s %8s %-7s %12s %12s   %s\n", "server", "client", "frames/s", "ratio", "target",
              "", "recv us/fr", "host us/fr", "runs");
  const bool demoScene = options.Scene != "heavy";
  const bool heavyScene = options.Scene != "demo";
  if (demoScene) {
    std::vector<VThroughput> raw, exports;
    VSimProcess sim;
    if (!sim.Start(options.SimPath)) {
      std::printf("qs-sim demo     could not start %s (pass --sim PATH)\n", options.SimPath.c_str());
    } else {
      for (int i = 0; i < options.Repeats; ++i) {
        raw.push_back(RawThroughput(options.Seconds));
        exports.push_back(ExportThroughput(options.Seconds));
      }
      std::vector<double> rawFps;
      for (const VThroughput& r : raw) rawFps.push_back(r.FramesPerSecond);
      PrintThroughputRow("qs-sim demo", "raw socket", raw, 0, false);
      PrintThroughputRow("qs-sim demo", "exports", exports, Median(rawFps), true);
    }
  }
  if (heavyScene) {
    std::vector<VThroughput> raw, exports;
    VBenchServer server(std::make_unique<QSBench::VHeavySceneSource>(heavy, 0.0));
    if (!server.Start()) {
      std::printf("heavy server could not start\n");
    } else {
      for (int i = 0; i < options.Repeats; ++i) {
        raw.push_back(RawThroughput(options.Seconds));
        exports.push_back(ExportThroughput(options.Seconds));
      }
      server.Stop();
      std::vector<double> rawFps;
      for (const VThroughput& r : raw) rawFps.push_back(r.FramesPerSecond);
      PrintThroughputRow("heavy", "raw socket", raw, 0, false);
      PrintThroughputRow("heavy", "exports", exports, Median(rawFps), true);
    }
  }
  std::printf("(recv us/fr: CPU of the library's receiving thread per received frame, or of the raw client's\n"
              " thread; host us/fr: CPU of the host loop per distinct frame seen)\n\n");

  // (b) latency.
  std::printf(
      "(b) latency, server write to GetFrameNumber seeing the frame (prefetch on), %d frames per path at %.0f Hz,\n"
      "    the paths taking turns in %d rounds\n",
      options.LatencyFrames, options.LatencyRate, options.LatencyRounds);
  const auto period = std::chrono::nanoseconds(static_cast<int64_t>(1e9 / options.LatencyRate));
  const std::vector<double> pingPong = PingPongHalfRoundTrip(options.LatencyFrames, period);
  const std::vector<double> backToBack = PingPongHalfRoundTrip(options.LatencyFrames, std::chrono::nanoseconds(0));
  std::printf("%-14s %-26s %10s %10s %8s %8s %-7s %12s\n", "scene", "path", "median us", "p99 us", "ratio",
              "target", "", "recv us/fr");
  const double pingMedian = Median(pingPong);
  char pacedName[64];
  std::snprintf(pacedName, sizeof pacedName, "ping-pong half RTT, %.0f Hz", options.LatencyRate);
  std::printf("%-14s %-26s %10.1f %10.1f\n", "17 bytes", pacedName, pingMedian, Percentile(pingPong, 99));
  std::printf("%-14s %-26s %10.1f %10.1f\n", "17 bytes", "ping-pong half RTT, b2b", Median(backToBack),
              Percentile(backToBack, 99));
  // The demo scene at the latency rate, with qs-sim's samples per frame.
  const LumoraQSSim::VDemoScene demo(options.LatencyRate, 10);
  const VBytes demoDynamic = demo.DynamicPacket(1, ExportTypes());
  struct VScene {
    const char* Name;
    std::size_t DynamicBytes;
    std::function<std::unique_ptr<LumoraQSSim::VFrameSource>()> Source;
  };
  std::vector<VScene> scenes;
  // The raw client finds the frame number at a fixed offset: the first
  // object of a dynamic packet.
  if (demoScene && demoDynamic.size() >= 20 && Int32At(demoDynamic.data() + 8) == LumoraQSStream::FrameNumber) {
    scenes.push_back({"demo", demoDynamic.size(), [&] {
                        return std::make_unique<LumoraQSSim::VSceneSource>(demo, options.LatencyRate);
                      }});
  }
  if (heavyScene) {
    scenes.push_back({"heavy", heavy.DynamicPacket(1).size(),
                      [&] { return std::make_unique<QSBench::VHeavySceneSource>(heavy, options.LatencyRate); }});
  }
  for (const VScene& scene : scenes) {
    VBenchServer server(scene.Source());
    if (!server.Start()) {
      std::printf("%-14s server could not start\n", scene.Name);
      continue;
    }
    // The three paths take turns, a share of the frames each per round, in
    // an order that rotates from round to round: a machine whose speed
    // drifts during the run (as a shared virtual machine's does) then
    // weighs on the three alike instead of on whichever ran last.
    VLatency raw, lib, direct;
    const int perRound = options.LatencyFrames / options.LatencyRounds;  // main keeps rounds <= frames
    for (int round = 0; round < options.LatencyRounds; ++round) {
      for (int turn = 0; turn < 3; ++turn) {
        switch ((round + turn) % 3) {
          case 0: raw.Add(RawLatency(server, perRound)); break;
          case 1: lib.Add(ExportLatency(server, perRound, true)); break;
          default: direct.Add(ExportLatency(server, perRound, false)); break;
        }
      }
    }
    server.Stop();
    const double rawMedian = Median(raw.Samples);
    const double libMedian = Median(lib.Samples);
    char name[64];
    std::snprintf(name, sizeof name, "%s (%zu B)", scene.Name, scene.DynamicBytes);
    std::printf("%-14s %-26s %10.1f %10.1f\n", name, "raw socket, same packet", rawMedian,
                Percentile(raw.Samples, 99));
    // The target is set against the ping-pong's half round trip at the same
    // pace as the frames (both ends idle between rounds, as here); the raw
    // client reading the same packet, which pays the same wake-up and the
    // same transfer, is the floor any client of this server can reach.
    const double ratio = pingMedian > 0 ? libMedian / pingMedian : 0;
    std::printf("%-14s %-26s %10.1f %10.1f %8.2f %8s %-7s %12.1f\n", name, "exports, prefetch on", libMedian,
                Percentile(lib.Samples, 99), ratio, "<= 1.50", AtMost(ratio, 1.5),
                lib.CpuNsPerFrame() / 1e3);
    // Against the raw client on the same packet: the heavy scene within
    // 1.4x with prefetching on and 1.25x with it off, the demo scene within
    // 1.25x either way.
    const double onTarget = std::strcmp(scene.Name, "heavy") == 0 ? 1.4 : 1.25;
    const double offTarget = 1.25;
    const double onRatio = rawMedian > 0 ? libMedian / rawMedian : 0;
    std::printf("%-14s %-26s %10s %10s %8.2f %5s%.2f %-7s (exports median / raw socket same-packet median)\n", name,
                "", "", "", onRatio, "<= ", onTarget, AtMost(onRatio, onTarget));
    const double directMedian = Median(direct.Samples);
    const double offRatio = rawMedian > 0 ? directMedian / rawMedian : 0;
    std::printf("%-14s %-26s %10.1f %10.1f %8.2f %5s%.2f %-7s %12.1f  (ratio: to the raw socket)\n", name,
                "exports, prefetch off", directMedian, Percentile(direct.Samples, 99), offRatio, "<= ", offTarget,
                AtMost(offRatio, offTarget), direct.CpuNsPerFrame() / 1e3);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  VOptions options;
  options.SimPath = DefaultSimPath();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--sim" && value) {
      options.SimPath = value;
      ++i;
    } else if (arg == "--seconds" && value) {
      options.Seconds = std::atof(value);
      ++i;
    } else if (arg == "--repeats" && value) {
      options.Repeats = std::max(1, std::atoi(value));
      ++i;
    } else if (arg == "--latency-frames" && value) {
      options.LatencyFrames = std::max(10, std::atoi(value));
      ++i;
    } else if (arg == "--host-pause-us" && value) {
      options.HostPauseUs = std::max(-1, std::atoi(value));
      ++i;
    } else if (arg == "--latency-rounds" && value) {
      options.LatencyRounds = std::max(1, std::atoi(value));
      ++i;
    } else if (arg == "--latency-rate" && value) {
      options.LatencyRate = std::atof(value);
      ++i;
    } else if (arg == "--scene" && value && (std::strcmp(value, "demo") == 0 || std::strcmp(value, "heavy") == 0)) {
      options.Scene = value;
      ++i;
    } else {
      std::fprintf(stderr,
                   "usage: qs_e2e_bench [--sim PATH] [--seconds S] [--repeats N] [--latency-frames N]\n"
                   "                    [--latency-rate HZ] [--latency-rounds N] [--host-pause-us US]\n"
                   "                    [--scene demo|heavy]\n");
      return 2;
    }
  }
  if (!(options.Seconds > 0) || !(options.LatencyRate > 0)) return 2;
  // At least one frame per path in every round, so that each path measures
  // the frames asked for rather than one per round.
  options.LatencyRounds = std::min(options.LatencyRounds, options.LatencyFrames);
  HostPauseUs = options.HostPauseUs;
  signal(SIGPIPE, SIG_IGN);
  return Run(options);
}
