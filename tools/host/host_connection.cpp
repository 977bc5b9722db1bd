#include "tools/host/host_connection.h"

#include <thread>

#include "QS.h"

void VRateMeter::Add(SteadyClock::time_point t) {
  Times.push_back(t);
  while (!Times.empty() && t - Times.front() > std::chrono::seconds(1)) Times.erase(Times.begin());
}

double VRateMeter::Rate(SteadyClock::time_point now) const {
  std::size_t first = 0;
  while (first < Times.size() && now - Times[first] > std::chrono::seconds(1)) ++first;
  if (Times.size() - first < 2) return 0.0;
  const double span = std::chrono::duration<double>(Times.back() - Times[first]).count();
  return span > 0 ? static_cast<double>(Times.size() - first - 1) / span : 0.0;
}

bool VHostConnection::ConnectOnce() {
  if (!Connect(Options.Host.c_str())) return false;
  if (Options.LeftHanded) {
    SetLeftHandRule();
  } else {
    SetRightHandRule();
  }
  if (Options.YUp) {
    SetYUp();
  } else {
    SetZUp();
  }
  SetPreFetchMode(Options.PreFetch ? 1 : 0);
  if (Options.Segments) EnableSegmentData();
  if (Options.Markers) EnableMarkerData();
  if (Options.Forces) EnableForcePlateData();
  return true;
}

FrameEvent VHostConnection::Poll() {
  if (!IsUp) {
    if (SteadyClock::now() - LastAttempt < RetryInterval) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return FrameEvent::Idle;
    }
    LastAttempt = SteadyClock::now();
    if (!ConnectOnce()) return FrameEvent::ConnectFailed;
    IsUp = true;
    EverUp = true;
    HaveFrame = false;
    StaleHeld = GetFrameNumber(&StaleFrameNumber) != 0;
    return FrameEvent::Connected;
  }

  if (!IsConnected()) {
    IsUp = false;
    Disconnect();  // releases the dead connection so the next Connect can work
    return FrameEvent::Lost;
  }

  GetFrame();
  int32_t frameNumber = 0;
  if (!GetFrameNumber(&frameNumber) || (HaveFrame && frameNumber == LastFrameNumber) ||
      (!HaveFrame && StaleHeld && frameNumber == StaleFrameNumber)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return FrameEvent::Idle;
  }
  if (HaveFrame && frameNumber > LastFrameNumber + 1) {
    Missed += static_cast<uint64_t>(frameNumber - LastFrameNumber - 1);
  }
  HaveFrame = true;
  LastFrameNumber = frameNumber;
  ++Seen;
  Meter.Add(SteadyClock::now());
  return FrameEvent::NewFrame;
}

void VHostConnection::Close() {
  if (IsConnected() || IsUp) Disconnect();
  IsUp = false;
  SetPreFetchMode(0);
}
