// Test support for the facade: a GoogleMock frame client whose default
// behaviour is driven by a FrameSource (connection flag, frame queue, call
// records), and builders for frame records.
#pragma once

#include <gmock/gmock.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/frame_record.h"
#include "client/qs_client.h"
#include "testing/wait.h"
#include "tests/support/payload_builders.h"

class MockQSClient : public IQSClient {
 public:
  MOCK_METHOD(void, Destroy, (), (override));
  MOCK_METHOD(void, Connect, (std::string host, int32_t port), (override));
  MOCK_METHOD(bool, IsConnected, (), (override));
  MOCK_METHOD(void, SetObjectTypeEnabled, (int32_t type, bool enabled), (override));
  MOCK_METHOD(void, SetMaxQueuedFrames, (uint32_t bound), (override));
  MOCK_METHOD(void, SetVideoConversion, (bool on), (override));
  MOCK_METHOD(void, SetStreamMode, (int32_t mode), (override));
  MOCK_METHOD(bool, GetFrames, (std::vector<VFrameRecord> & frames), (override));
  MOCK_METHOD(bool, WaitForFrames, (std::vector<VFrameRecord> & frames, uint32_t timeoutMs),
              (override));
  MOCK_METHOD(bool, SetFrameSink, (FrameSink sink), (override));
  MOCK_METHOD(void, AddVideoFrameReference, (const LumoraQSStream::VVideoFrame* frame),
              (override));
  MOCK_METHOD(void, ReleaseVideoFrameReference, (const LumoraQSStream::VVideoFrame* frame),
              (override));
};

// What a mock frame client does by default. Safe to use from the prefetch
// thread: every field is atomic or guarded by Lock.
struct FrameSource {
  std::atomic<bool> ConnectSucceeds{true};
  std::atomic<bool> Connected{false};
  std::atomic<int> DestroyCalls{0};
  std::atomic<int> GetFramesCalls{0};
  std::atomic<int> GetFramesAfterDestroy{0};
  std::atomic<int> GetFramesOnTestThread{0};
  std::thread::id TestThread = std::this_thread::get_id();

  std::atomic<int> WaitCalls{0};
  std::atomic<int> PollCalls{0};  // GetFrames, which never waits

  std::mutex Lock;
  std::condition_variable Arrived;       // notified by Push
  std::deque<VFrameRecord> Queue;        // guarded by Lock
  std::set<std::thread::id> Callers;     // guarded by Lock
  std::vector<std::string> Hosts;        // guarded by Lock
  std::vector<int32_t> Ports;            // guarded by Lock
  std::atomic<bool> TakesSink{false};    // whether SetFrameSink takes a sink
  IQSClient::FrameSink Sink;             // guarded by Lock

  void Push(const VFrameRecord& frame) {
    {
      std::lock_guard<std::mutex> lock(Lock);
      Queue.push_back(frame);
    }
    Arrived.notify_all();
  }

  // As the frame client: waits up to `timeoutMs` for a queued frame, then
  // takes the queue.
  bool WaitAndTake(std::vector<VFrameRecord>& frames, uint32_t timeoutMs) {
    ++WaitCalls;
    {
      std::unique_lock<std::mutex> lock(Lock);
      Arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !Queue.empty(); });
    }
    return Take(frames);
  }

  bool Take(std::vector<VFrameRecord>& frames) {
    ++GetFramesCalls;
    if (DestroyCalls > 0) ++GetFramesAfterDestroy;
    if (std::this_thread::get_id() == TestThread) ++GetFramesOnTestThread;
    std::lock_guard<std::mutex> lock(Lock);
    Callers.insert(std::this_thread::get_id());
    frames.assign(Queue.begin(), Queue.end());  // replaces, as the frame client does
    Queue.clear();
    return !frames.empty();
  }

  std::size_t OtherCallerThreads() {
    std::lock_guard<std::mutex> lock(Lock);
    return Callers.size() - Callers.count(TestThread);
  }

  // Installs the default actions on `mock`.
  void Drive(MockQSClient& mock) {
    using ::testing::_;
    using ::testing::Invoke;
    ON_CALL(mock, IsConnected()).WillByDefault(Invoke([this] { return Connected.load(); }));
    ON_CALL(mock, Connect(_, _)).WillByDefault(Invoke([this](std::string host, int32_t port) {
      {
        std::lock_guard<std::mutex> lock(Lock);
        Hosts.push_back(host);
        Ports.push_back(port);
      }
      Connected = ConnectSucceeds.load();
    }));
    ON_CALL(mock, GetFrames(_)).WillByDefault(Invoke([this](std::vector<VFrameRecord>& frames) {
      ++PollCalls;
      return Take(frames);
    }));
    ON_CALL(mock, WaitForFrames(_, _))
        .WillByDefault(Invoke([this](std::vector<VFrameRecord>& frames, uint32_t timeoutMs) {
          return WaitAndTake(frames, timeoutMs);
        }));
    ON_CALL(mock, SetFrameSink(_)).WillByDefault(Invoke([this](IQSClient::FrameSink sink) {
      if (!TakesSink) return false;
      std::lock_guard<std::mutex> lock(Lock);
      Sink = std::move(sink);
      return true;
    }));
    ON_CALL(mock, Destroy()).WillByDefault(Invoke([this] { ++DestroyCalls; }));
  }
};

// A shared pointer whose deleter calls Destroy, as the exports hand over.
inline std::shared_ptr<IQSClient> Share(MockQSClient& mock) {
  return std::shared_ptr<IQSClient>(&mock, [](IQSClient* client) { client->Destroy(); });
}

using QSTesting::WaitUntil;

// --- Frame record builders --------------------------------------------------

inline LumoraQSStream::VSubjectInfo MakeSubject(int32_t id, const std::string& name,
                                                std::vector<std::pair<int32_t, std::string>> segments,
                                                std::vector<std::pair<int32_t, std::string>> markers) {
  LumoraQSStream::VSubjectInfo subject;
  subject.SubjectID = id;
  subject.Name = name;
  for (auto& s : segments) {
    LumoraQSStream::VSegmentInfo info;
    info.SegmentID = s.first;
    info.Name = s.second;
    subject.Segments.push_back(info);
  }
  for (auto& m : markers) {
    LumoraQSStream::VMarkerInfo info;
    info.MarkerID = m.first;
    info.Name = m.second;
    subject.Markers.push_back(info);
  }
  return subject;
}

inline LumoraQSStream::VDeviceOutputInfo MakeOutput(int32_t deviceID, int32_t outputID,
                                                    std::vector<std::string> names) {
  LumoraQSStream::VDeviceOutputInfo output;
  output.DeviceID = deviceID;
  output.OutputID = outputID;
  output.ComponentNames = std::move(names);
  return output;
}

inline LumoraQSStream::VDeviceInfo MakeDevice(int32_t deviceID) {
  LumoraQSStream::VDeviceInfo device;
  device.DeviceID = deviceID;
  return device;
}

// Samples 0.5, 1.5, 2.5, ... (exact in float): sample k is k + 0.5.
inline std::vector<float> RampSamples(std::size_t count) {
  std::vector<float> samples(count);
  for (std::size_t k = 0; k < count; ++k) samples[k] = static_cast<float>(k) + 0.5f;
  return samples;
}

// What a record shares, to add to while the record is being built: a fresh
// copy when it holds none or shares it with another record, otherwise its
// own, not yet shared with anyone.
template <class Contents>
Contents& EditShared(std::shared_ptr<const Contents>& held) {
  if (!held || held.use_count() != 1) {
    auto own = held ? std::make_shared<Contents>(*held) : std::make_shared<Contents>();
    held = own;
    return *own;
  }
  return const_cast<Contents&>(*held);
}
inline LumoraQSStream::VStaticObjects& EditScene(VFrameRecord& frame) { return EditShared(frame.Scene); }
inline LumoraQSStream::VDynamicObjects& EditData(VFrameRecord& frame) { return EditShared(frame.Data); }

inline VFrameRecord MakeFrame(int32_t frameNumber) {
  VFrameRecord frame;
  frame.FrameNumber = frameNumber;
  return frame;
}
