#include "tools/sim/simulator.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "serve/request_packet.h"
#include "tools/sim/scene_source.h"

namespace LumoraQSSim {

using LumoraQSServe::VRecordedRequest;
using LumoraQSServe::VRequestReading;
using LumoraQSServe::VServedConnection;
using Clock = std::chrono::steady_clock;

namespace {

// A frame due later than this after the clock's start is never waited for
// in one piece: the wait ends there and the due time is asked again. It
// keeps the conversion of a source's due time to the clock's integer
// duration within range, whatever the source answers.
constexpr double MaxDueSeconds = 1e7;

// When to look again at a frame due `seconds` after `epoch`: then, or
// MaxDueSeconds after `epoch` for a later (or not-a-number) time.
Clock::time_point WakeTime(Clock::time_point epoch, double seconds) {
  double bounded = MaxDueSeconds;
  if (seconds <= 0.0) bounded = 0.0;
  else if (seconds < MaxDueSeconds) bounded = seconds;
  return epoch + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(bounded));
}

}  // namespace

struct VSimulator::VConnection {
  explicit VConnection(std::unique_ptr<VServedConnection> served)
      : Served(std::move(served)), Peer(Served->Peer()) {}
  const std::unique_ptr<VServedConnection> Served;
  const std::string Peer;
  // Guarded by the simulator's mutex.
  bool ReadClosed = false;
  bool Replaced = false;
  bool BadRequest = false;
  bool Exhausted = false;  // the source's last frame was served
  bool Failed = false;     // the source could not give a packet
  std::size_t RequestsWaiting = 0;
  std::set<int32_t> Requested;
  uint8_t Mode = 0;
  uint64_t Frames = 0;
};

VSimulator::VSimulator(VSimulatorOptions options) : Options_(std::move(options)) {
  const bool usableRate = std::isfinite(Options_.Rate) && Options_.Rate > 0.0;
  // An unpaced stream still needs a time base for the motion.
  Scene_ = std::make_unique<VDemoScene>(usableRate ? Options_.Rate : 100.0, std::max(1, Options_.SamplesPerFrame));
  Source_ = std::make_unique<VSceneSource>(*Scene_, Options_.Rate);
}

VSimulator::VSimulator(VSimulatorOptions options, std::unique_ptr<VFrameSource> source)
    : Options_(std::move(options)), Source_(std::move(source)) {}

VSimulator::~VSimulator() { Stop(); }

bool VSimulator::Start() {
  std::lock_guard<std::mutex> lock(Mutex_);
  if (Started_) {
    LastError_ = "already started";
    return false;
  }
  if (!Source_) {
    LastError_ = "nothing to serve";
    return false;
  }
  if (Scene_ && (!std::isfinite(Options_.Rate) || Options_.Rate < 0.0)) {
    LastError_ = "the frame rate must be 0 (unpaced) or positive";
    return false;
  }
  if (Scene_ && Options_.SamplesPerFrame < 1) {
    LastError_ = "at least one sample per frame";
    return false;
  }
  if (!Acceptor_.Open(Options_.Address, Options_.Port, false, LastError_)) return false;
  Port_ = Acceptor_.Port();
  Epoch_ = Clock::now();
  ClockStarted_ = !Options_.ClockStartsOnConnect;
  Started_ = true;
  Acceptor_.Start([this](std::unique_ptr<VServedConnection> served) { Take(std::move(served)); });
  ServeThread_ = std::thread(&VSimulator::ServeLoop, this);
  return true;
}

void VSimulator::Stop() {
  std::unique_ptr<VConnection> pending;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    Stopping_ = true;
    // Threads blocked in accept, recv or send are woken by shutdown.
    Acceptor_.Wake();
    if (Current_) Current_->Served->Cut();
    pending = std::move(Pending_);
  }
  Changed_.notify_all();
  pending.reset();
  Acceptor_.Stop();
  if (ServeThread_.joinable()) ServeThread_.join();
}

std::string VSimulator::LastError() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return LastError_;
}

bool VSimulator::Finished() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Finished_;
}

bool VSimulator::Failed() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Failed_;
}

bool VSimulator::WaitFinished(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(Mutex_);
  return Changed_.wait_for(lock, timeout, [this] { return Finished_; });
}

uint64_t VSimulator::FramesSent() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return FramesSent_;
}

std::size_t VSimulator::ConnectionsAccepted() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Accepted_;
}

std::size_t VSimulator::ConnectionsClosed() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Closed_;
}

void VSimulator::Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(LogMutex_);
  if (Options_.Log) Options_.Log(line);
}

void VSimulator::Take(std::unique_ptr<VServedConnection> served) {
  auto connection = std::make_unique<VConnection>(std::move(served));
  std::unique_ptr<VConnection> dropped;
  std::string replaced;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (Stopping_) return;
    const bool budgetSpent = Options_.Frames != 0 && FramesSent_ >= Options_.Frames;
    if (budgetSpent || Finished_) return;  // closes the new connection
    ++Accepted_;
    // The newest client wins: a connection still waiting is dropped, the
    // one being served is cut.
    dropped = std::move(Pending_);
    if (Current_) {
      Current_->Replaced = true;
      replaced = Current_->Peer;
      Current_->Served->Cut();
    }
    Pending_ = std::move(connection);
  }
  Changed_.notify_all();
  if (dropped) Say("qs-sim: client " + dropped->Peer + " dropped before it was served");
  if (!replaced.empty()) Say("qs-sim: client " + replaced + " replaced by a new client");
}

void VSimulator::ServeLoop() {
  for (;;) {
    std::unique_ptr<VConnection> connection;
    {
      std::unique_lock<std::mutex> lock(Mutex_);
      Changed_.wait(lock, [this] { return Stopping_ || Pending_ != nullptr; });
      if (Stopping_) return;
      connection = std::move(Pending_);
      Current_ = connection.get();
      if (!ClockStarted_) {
        Epoch_ = Clock::now();
        ClockStarted_ = true;
      }
    }
    Serve(*connection);
    std::lock_guard<std::mutex> lock(Mutex_);
    if (Finished_ || Stopping_) return;
  }
}

bool VSimulator::WaitForTurn(VConnection& connection, int64_t& frame) {
  std::unique_lock<std::mutex> lock(Mutex_);
  for (;;) {
    if (Stopping_ || connection.ReadClosed || connection.Replaced || connection.BadRequest) return false;
    const bool push = connection.Mode != 0;
    if (!push && connection.RequestsWaiting == 0) {
      Changed_.wait(lock);
      continue;
    }
    const int64_t last = Source_->LastFrame();
    if (last >= 0 && LastFrame_ >= last) {
      connection.Exhausted = true;
      return false;
    }
    if (!Source_->Paced()) {
      frame = LastFrame_ + 1;
      break;
    }
    // The newest frame that is due, but always a newer one than last time.
    const Clock::time_point now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - Epoch_).count();
    int64_t due = Source_->DueBy(elapsed);
    if (last >= 0) due = std::min(due, last);
    const int64_t next = std::max(due, LastFrame_ + 1);
    const double dueAt = Source_->DueAt(next);
    if (dueAt <= elapsed) {
      frame = next;
      break;
    }
    Changed_.wait_until(lock, WakeTime(Epoch_, dueAt));
  }
  if (connection.Mode == 0) --connection.RequestsWaiting;
  LastFrame_ = frame;
  return true;
}

void VSimulator::Serve(VConnection& connection) {
  Say("qs-sim: client " + connection.Peer + " connected");
  VServedConnection& served = *connection.Served;
  VRequestReading reading;
  reading.MaxPayload = Options_.MaxRequestPayload;
  reading.OnRequest = [this, &connection](VRecordedRequest request) { return Request(connection, request); };
  reading.OnReadEnd = [this, &connection] {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      connection.ReadClosed = true;
    }
    Changed_.notify_all();
  };
  served.StartReading(std::move(reading));

  bool open = served.Send(Source_->Handshake());
  bool budgetSpent = false;
  int64_t previous = -1;  // the frame last sent on this connection
  bool haveSentStatic = false;
  std::set<int32_t> staticSent;  // the static types of the last description sent
  uint64_t sinceStatic = 0;
  VBytes packet;

  while (open) {
    int64_t frame = 0;
    if (!WaitForTurn(connection, frame)) break;
    std::set<int32_t> requested;
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      requested = connection.Requested;
    }
    std::set<int32_t> staticTypes;
    bool dynamic = false;
    for (int32_t type : requested) {
      if (Source_->IsStaticType(type)) staticTypes.insert(type);
      dynamic = dynamic || Source_->IsDynamicType(type);
    }
    const bool withStatic =
        !staticTypes.empty() && (!haveSentStatic || staticTypes != staticSent ||
                                 (Options_.StaticEvery != 0 && sinceStatic >= Options_.StaticEvery) ||
                                 (previous >= 0 && Source_->SceneChangedBetween(previous, frame)));
    std::string failure;
    if (!Source_->Packet(frame, requested, withStatic, packet, failure)) {
      // Nothing that was not recorded goes out: the serving ends here.
      std::lock_guard<std::mutex> lock(Mutex_);
      LastError_ = failure;
      Failed_ = true;
      connection.Failed = true;
      break;
    }
    open = served.Send(packet);
    previous = frame;
    if (!open) break;
    if (withStatic || staticTypes.empty()) {
      haveSentStatic = !staticTypes.empty();
      staticSent = staticTypes;
      sinceStatic = 0;
    }
    if (!dynamic) continue;
    ++sinceStatic;
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      ++FramesSent_;
      ++connection.Frames;
      budgetSpent = Options_.Frames != 0 && FramesSent_ >= Options_.Frames;
    }
    Changed_.notify_all();
    if (budgetSpent) break;
  }

  // End the stream first so that everything sent arrives, give the client
  // a moment to close its side, then cut the connection (Stop() cuts it at
  // once).
  served.Close();
  std::string reason;
  uint64_t frames = 0;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    Current_ = nullptr;
    ++Closed_;
    if (budgetSpent || connection.Exhausted || connection.Failed) Finished_ = true;
    frames = connection.Frames;
    if (connection.Failed) reason = ", " + LastError_;
    else if (connection.BadRequest) reason = ", malformed request";
    else if (connection.Exhausted) reason = ", no more frames";
    else if (connection.Replaced) reason = ", replaced";
    else if (budgetSpent) reason = ", frame limit reached";
    else if (Stopping_) reason = ", server stopping";
  }
  Changed_.notify_all();
  Say("qs-sim: client " + connection.Peer + " disconnected after " + std::to_string(frames) + " frames" + reason);
}

bool VSimulator::Request(VConnection& connection, const VRecordedRequest& request) {
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (!request.WellFormed) {
      // Also a request whose announced length is out of bounds: the stream
      // can no longer be split into packets.
      connection.BadRequest = true;
      return false;
    }
    if (request.HasTypeList) connection.Requested = request.Types;
    if (request.HasStreamMode) connection.Mode = request.StreamMode;
    ++connection.RequestsWaiting;
  }
  Changed_.notify_all();
  return true;
}

}  // namespace LumoraQSSim
