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
  std::thread Sender;
  // Guarded by the simulator's mutex.
  bool ReadClosed = false;
  bool BadRequest = false;
  bool Exhausted = false;  // the last frame was served
  bool Failed = false;     // the source could not give a packet
  bool Stalled = false;    // a push client that stopped reading
  bool Ended = false;      // the sender has finished; its thread may be joined
  std::size_t RequestsWaiting = 0;
  // The sender waits for a request and nothing else: only then does a
  // request need to wake it.
  bool AwaitingRequest = false;
  std::set<int32_t> Requested;
  uint8_t Mode = 0;
  bool Pushing = false;   // in a push mode: frames follow on from LastSent
  int64_t PushFrom = 0;   // the frame due when pushing started
  int64_t LastSent = -1;  // the frame last sent on this connection
  int64_t Behind = 0;     // frames due and not yet sent, when it stalled
  uint64_t Frames = 0;
  bool Sending = false;
  Clock::time_point SendingSince;
  Clock::duration Waited{0};  // in sends since it last caught up (push only)
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
  if (Options_.MaxClients < 1) {
    LastError_ = "at least one client must be allowed";
    return false;
  }
  if (!Acceptor_.Open(Options_.Address, Options_.Port, false, LastError_)) return false;
  Port_ = Acceptor_.Port();
  Epoch_ = Clock::now();
  // A limited run serves its frames to clients, not to an empty room.
  ClockStarted_ = !Options_.ClockStartsOnConnect && Options_.Frames == 0;
  Started_ = true;
  Acceptor_.Start([this](std::unique_ptr<VServedConnection> served) { Take(std::move(served)); });
  WatchThread_ = std::thread(&VSimulator::WatchLoop, this);
  return true;
}

void VSimulator::Stop() {
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    Stopping_ = true;
    // Threads blocked in accept, recv or send are woken by shutdown.
    Acceptor_.Wake();
    for (const auto& connection : Connections_) connection->Served->Cut();
  }
  Changed_.notify_all();
  WatchWake_.notify_all();
  // No connection is added once the accept thread has been joined.
  Acceptor_.Stop();
  if (WatchThread_.joinable()) WatchThread_.join();
  std::vector<std::unique_ptr<VConnection>> connections;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    connections.swap(Connections_);
  }
  for (const auto& connection : connections)
    if (connection->Sender.joinable()) connection->Sender.join();
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

uint64_t VSimulator::FramesServed() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return static_cast<uint64_t>(HighestSent_ + 1);
}

std::size_t VSimulator::ConnectionsAccepted() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Accepted_;
}

std::size_t VSimulator::ConnectionsClosed() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Closed_;
}

std::size_t VSimulator::ConnectionsRefused() const {
  std::lock_guard<std::mutex> lock(Mutex_);
  return Refused_;
}

void VSimulator::Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(LogMutex_);
  if (Options_.Log) Options_.Log(line);
}

int64_t VSimulator::LastServable() const {
  int64_t last = Source_->LastFrame();
  if (Options_.Frames != 0) {
    const int64_t budget = static_cast<int64_t>(std::min<uint64_t>(Options_.Frames, INT64_MAX / 2)) - 1;
    last = last < 0 ? budget : std::min(last, budget);
  }
  return last;
}

int64_t VSimulator::DueNow() const {
  if (!ClockStarted_) return -1;
  return Source_->DueBy(std::chrono::duration<double>(Clock::now() - Epoch_).count());
}

Clock::duration VSimulator::Waited(const VConnection& connection, Clock::time_point now) const {
  return connection.Waited + (connection.Sending ? now - connection.SendingSince : Clock::duration::zero());
}

void VSimulator::UpdateFinished() {
  if (Finished_ || Open_ != 0) return;
  bool done = Failed_;
  const int64_t last = LastServable();
  if (last >= 0 && ClockStarted_) done = done || (Source_->Paced() ? DueNow() >= last : NextUnpaced_ > last);
  if (!done) return;
  Finished_ = true;
  Changed_.notify_all();
}

void VSimulator::Take(std::unique_ptr<VServedConnection> served) {
  const std::string peer = served->Peer();
  std::string refused;
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (Stopping_ || Finished_) return;  // closes the new connection
    const int64_t last = LastServable();
    const bool over = last >= 0 && ClockStarted_ && (Source_->Paced() ? DueNow() >= last : NextUnpaced_ > last);
    if (over || Failed_) {
      refused = "no more frames";
    } else if (Open_ >= Options_.MaxClients) {
      refused = "the limit of " + std::to_string(Options_.MaxClients) + " connections at once is reached";
    } else {
      ++Accepted_;
      ++Open_;
      Connections_.push_back(std::make_unique<VConnection>(std::move(served)));
      VConnection& connection = *Connections_.back();
      connection.Sender = std::thread([this, &connection] { Serve(connection); });
      return;
    }
    ++Refused_;
  }
  served.reset();
  Say("qs-sim: client " + peer + " refused: " + refused);
}

void VSimulator::WatchLoop() {
  std::unique_lock<std::mutex> lock(Mutex_);
  while (!Stopping_) {
    WatchWake_.wait_for(lock, WatchInterval);
    if (Stopping_) break;
    const Clock::time_point now = Clock::now();
    std::vector<std::unique_ptr<VConnection>> ended;
    for (auto it = Connections_.begin(); it != Connections_.end();) {
      VConnection& connection = **it;
      if (connection.Ended) {
        ended.push_back(std::move(*it));
        it = Connections_.erase(it);
        continue;
      }
      if (connection.Mode != 0 && connection.Sending && !connection.Stalled &&
          Waited(connection, now) > Options_.StallLimit) {
        connection.Stalled = true;
        connection.Behind = DueNow() - connection.LastSent;
        connection.Served->Cut();
      }
      ++it;
    }
    UpdateFinished();
    if (ended.empty()) continue;
    lock.unlock();
    for (const auto& connection : ended) connection->Sender.join();
    ended.clear();
    lock.lock();
  }
}

bool VSimulator::WaitForTurn(std::unique_lock<std::mutex>& lock, VConnection& connection, int64_t& frame) {
  for (;;) {
    if (Stopping_ || Failed_ || connection.ReadClosed || connection.BadRequest || connection.Stalled) return false;
    const int64_t last = LastServable();
    if (last >= 0 && connection.LastSent >= last) {
      connection.Exhausted = true;
      return false;
    }
    if (!ClockStarted_) {
      // A clock that waits for its first client has nothing due until that
      // client's first request starts it (Request wakes this wait).
      Changed_.wait(lock);
      continue;
    }
    const bool push = connection.Mode != 0;
    if (!Source_->Paced()) {
      if (last >= 0 && NextUnpaced_ > last) {
        connection.Exhausted = true;
        return false;
      }
      if (!push && connection.RequestsWaiting == 0) {
        AwaitRequest(lock, connection, Clock::time_point::max());
        continue;
      }
      frame = NextUnpaced_++;
      break;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - Epoch_).count();
    int64_t due = Source_->DueBy(elapsed);
    if (last >= 0) due = std::min(due, last);
    if (!push && connection.RequestsWaiting == 0) {
      // Nothing newer than the last frame will come for a later request.
      if (last >= 0 && due >= last) {
        connection.Exhausted = true;
        return false;
      }
      // No request can be answered before the frame after the last one
      // sent is due. Until then the sender sleeps on the clock alone, and a
      // request that comes meanwhile is taken up then instead of waking it
      // now: a client asking right after each frame costs the server one
      // thread woken to read the request, not the sender besides.
      const double nextDue = Source_->DueAt(std::max<int64_t>(connection.LastSent + 1, 0));
      if (nextDue > elapsed) {
        Changed_.wait_until(lock, WakeTime(Epoch_, nextDue));
      } else {
        AwaitRequest(lock, connection,
                     last >= 0 ? WakeTime(Epoch_, Source_->DueAt(last)) : Clock::time_point::max());
      }
      continue;
    }
    // A push connection gets every frame from the one due when it asked
    // for pushing on; a request gets the newest frame that is due, but
    // always a newer one than last time.
    int64_t next = std::max(push ? connection.PushFrom : due, connection.LastSent + 1);
    next = std::max<int64_t>(next, 0);
    const double dueAt = Source_->DueAt(next);
    if (dueAt <= elapsed) {
      frame = next;
      break;
    }
    Changed_.wait_until(lock, WakeTime(Epoch_, dueAt));
  }
  if (connection.Mode == 0) --connection.RequestsWaiting;
  connection.LastSent = frame;
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
  int64_t previous = -1;  // the frame last sent on this connection
  bool haveSentStatic = false;
  std::set<int32_t> staticSent;  // the static types of the last description sent
  uint64_t sinceStatic = 0;
  VBytes packet;

  while (open) {
    int64_t frame = 0;
    std::set<int32_t> requested;
    {
      std::unique_lock<std::mutex> lock(Mutex_);
      if (!WaitForTurn(lock, connection, frame)) break;
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
      // Nothing that was not recorded goes out: the serving ends here, for
      // every connection.
      {
        std::lock_guard<std::mutex> lock(Mutex_);
        LastError_ = failure;
        Failed_ = true;
        connection.Failed = true;
        for (const auto& other : Connections_)
          if (other.get() != &connection) other->Served->Cut();
      }
      Changed_.notify_all();
      break;
    }
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      connection.Sending = true;
      connection.SendingSince = Clock::now();
    }
    open = served.Send(packet);
    previous = frame;
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      connection.Sending = false;
      if (connection.Mode != 0) {
        // Caught up with the clock: the time waited on this client starts
        // again from nothing.
        if (!Source_->Paced() || frame >= DueNow()) connection.Waited = Clock::duration::zero();
        else connection.Waited += Clock::now() - connection.SendingSince;
      }
      if (open) HighestSent_ = std::max(HighestSent_, frame);
      if (open && dynamic) {
        ++FramesSent_;
        ++connection.Frames;
      }
    }
    if (!open) break;
    if (withStatic || staticTypes.empty()) {
      haveSentStatic = !staticTypes.empty();
      staticSent = staticTypes;
      sinceStatic = 0;
    }
    if (dynamic) ++sinceStatic;
  }

  // End the stream first so that everything sent arrives, give the client
  // a moment to close its side, then cut the connection (Stop() cuts it at
  // once).
  served.Close();
  std::string line = "qs-sim: client " + connection.Peer + " disconnected";
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    ++Closed_;
    const std::string after = " after " + std::to_string(connection.Frames) + " frames";
    const bool budget = Options_.Frames != 0 && connection.LastSent >= LastServable();
    if (connection.Stalled) line += ": not reading (" + std::to_string(connection.Behind) + " frames behind)," + after;
    else if (connection.Failed) line += after + ", " + LastError_;
    else if (connection.BadRequest) line += after + ", malformed request";
    else if (connection.Exhausted && budget) line += after + ", frame limit reached";
    else if (connection.Exhausted) line += after + ", no more frames";
    else if (Stopping_) line += after + ", server stopping";
    else line += after;
  }
  Say(line);
  {
    std::lock_guard<std::mutex> lock(Mutex_);
    --Open_;
    connection.Ended = true;
    UpdateFinished();
  }
  Changed_.notify_all();
  WatchWake_.notify_all();
}

void VSimulator::AwaitRequest(std::unique_lock<std::mutex>& lock, VConnection& connection,
                              Clock::time_point until) {
  connection.AwaitingRequest = true;
  if (until == Clock::time_point::max()) Changed_.wait(lock);
  else Changed_.wait_until(lock, until);
  connection.AwaitingRequest = false;
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
    // The sender is woken only where the request changes what it waits
    // for: it waits for a request, the clock starts, or the stream mode
    // changes. A new list of types is read when the next frame goes out.
    bool wake = connection.AwaitingRequest;
    // A clock that waits for its first client starts with that client's
    // first request, so that its first frame is the first one.
    if (!ClockStarted_) {
      Epoch_ = Clock::now();
      ClockStarted_ = true;
      wake = true;
    }
    if (request.HasTypeList) connection.Requested = request.Types;
    if (request.HasStreamMode) {
      wake = wake || connection.Mode != request.StreamMode;
      connection.Mode = request.StreamMode;
      // Pushing starts from the frame due as the request comes, however
      // late the sender thread takes it up.
      if (connection.Mode != 0 && !connection.Pushing && Source_->Paced())
        connection.PushFrom = std::max<int64_t>(DueNow(), 0);
      connection.Pushing = connection.Mode != 0;
    }
    ++connection.RequestsWaiting;
    if (!wake) return true;
  }
  Changed_.notify_all();
  return true;
}

}  // namespace LumoraQSSim
