// The simulator on 127.0.0.1 with an ephemeral port, driven by the
// library's own stream client.
#include "tools/sim/simulator.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <boost/asio.hpp>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "stream/stream_client.h"
#include "tests/tools/stream_recorder.h"
#include "tools/sim/scene_source.h"

using namespace std::chrono_literals;
using namespace LumoraQSSim;
using namespace LumoraQSServe;
using namespace LumoraQSStream;

namespace {

const std::set<int32_t> PosesAndPlates = {1, 2, 3, 4, 5, 9, 10, 11, 12, 13};

VSimulatorOptions Loopback(double rate, uint64_t frames = 0) {
  VSimulatorOptions options;
  options.Address = "127.0.0.1";
  options.Port = 0;
  options.Rate = rate;
  options.Frames = frames;
  return options;
}

struct VClient {
  explicit VClient(uint16_t port, const std::set<int32_t>& types, uint8_t mode = 0,
                   std::shared_ptr<VStreamRecorder> recorder = std::make_shared<VStreamRecorder>())
      : Recorder(std::move(recorder)), Stream(std::make_unique<VLumoraQSStreamClient>(Recorder)) {
    Stream->SetRequestedTypes(types);
    if (mode != 0) Stream->SetStreamMode(mode);
    Stream->Connect("127.0.0.1", port);
  }
  std::shared_ptr<VStreamRecorder> Recorder;
  std::unique_ptr<VLumoraQSStreamClient> Stream;
};

bool HasOnlyRequestedKinds(const VDynamicObjects& d, const std::set<int32_t>& requested) {
  return d.MarkerPositions.empty() == (requested.count(MarkerPositions) == 0) &&
         d.GlobalSegmentPoses.empty() == (requested.count(GlobalSegmentPoses) == 0) &&
         d.Forces.empty() == (requested.count(ForceData) == 0) &&
         d.Moments.empty() == (requested.count(MomentData) == 0) &&
         d.CentresOfPressure.empty() == (requested.count(CentreOfPressureData) == 0) &&
         d.Voltages.empty() == (requested.count(VoltageData) == 0) && d.MarkerRecords.empty() &&
         d.VideoFrames.empty();
}

}  // namespace

TEST(Simulator, StreamsRequestedKindsWithRisingFrameNumbers) {
  VSimulator simulator(Loopback(200.0));
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  ASSERT_NE(simulator.Port(), 0);
  VClient client(simulator.Port(), PosesAndPlates);
  ASSERT_TRUE(client.Recorder->WasConnected());
  ASSERT_TRUE(client.Recorder->WaitForDynamics(30, 5s));

  const auto events = client.Recorder->Snapshot();
  ASSERT_TRUE(events.front().Static) << "the description comes with the first packet";
  const VStaticObjects& description = *events.front().Static;
  EXPECT_EQ(description.Subjects.size(), 2u);
  EXPECT_EQ(description.Devices.size(), 2u);
  EXPECT_EQ(description.DeviceOutputs.size(), 8u);
  int32_t previous = -1;
  std::size_t dynamics = 0;
  for (const auto& event : events) {
    if (!event.Dynamic) continue;
    ++dynamics;
    const VDynamicObjects& d = *event.Dynamic;
    EXPECT_GT(d.FrameNumber, previous) << "frame numbers rise";
    previous = d.FrameNumber;
    EXPECT_TRUE(HasOnlyRequestedKinds(d, PosesAndPlates)) << "frame " << d.FrameNumber;
    EXPECT_EQ(d.GlobalSegmentPoses.size(), 2u);
    EXPECT_EQ(d.Forces.size(), 2u);
    EXPECT_EQ(d.Voltages.size(), 2u);
  }
  EXPECT_GE(dynamics, 30u);
  client.Stream.reset();
  simulator.Stop();
  EXPECT_EQ(simulator.ConnectionsAccepted(), 1u);
  EXPECT_EQ(simulator.ConnectionsClosed(), 1u);
}

TEST(Simulator, FollowsChangesOfTheRequestedTypes) {
  VSimulator simulator(Loopback(0.0));
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  VClient client(simulator.Port(), {1, 2, 3, 4, 5});
  ASSERT_TRUE(client.Recorder->WaitForDynamics(5, 5s));

  // Markers only: marker positions arrive, poses and plates do not, and no
  // description is sent since no static type is asked for.
  client.Stream->SetRequestedTypes({5, 6});
  auto markersOnly = [](const std::vector<VStreamRecorder::VEvent>& events) {
    std::size_t n = 0;
    for (const auto& e : events) n += e.Dynamic && !e.Dynamic->MarkerPositions.empty();
    return n >= 5;
  };
  ASSERT_TRUE(client.Recorder->WaitFor(markersOnly, 5s));

  // Subjects again: the description (subjects only) is sent once more.
  client.Stream->SetRequestedTypes({2, 5, 6});
  auto subjectsAgain = [](const std::vector<VStreamRecorder::VEvent>& events) {
    for (const auto& e : events)
      if (e.Static && !e.Static->Subjects.empty() && e.Static->Devices.empty()) return true;
    return false;
  };
  ASSERT_TRUE(client.Recorder->WaitFor(subjectsAgain, 5s));
  const std::size_t seen = client.Recorder->Dynamics().size();
  ASSERT_TRUE(client.Recorder->WaitForDynamics(seen + 5, 5s));

  const auto events = client.Recorder->Snapshot();
  std::size_t statics = 0, withMarkers = 0, withoutFrameNumber = 0;
  for (const auto& e : events) {
    if (e.Static) ++statics;
    if (!e.Dynamic) continue;
    if (!e.Dynamic->MarkerPositions.empty()) {
      ++withMarkers;
      EXPECT_TRUE(HasOnlyRequestedKinds(*e.Dynamic, {5, 6}));
    }
    withoutFrameNumber += e.Dynamic->FrameNumber < 0;
  }
  EXPECT_EQ(statics, 2u) << "on connect and after the static types changed";
  EXPECT_GE(withMarkers, 10u);
  EXPECT_EQ(withoutFrameNumber, 0u);
}

TEST(Simulator, StopsAfterTheFrameBudgetAndClosesTheConnection) {
  VSimulator simulator(Loopback(0.0, 20));
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  VClient client(simulator.Port(), PosesAndPlates);
  ASSERT_TRUE(client.Recorder->WaitForDisconnect(5s));
  ASSERT_TRUE(simulator.WaitFinished(5s));
  EXPECT_EQ(simulator.FramesSent(), 20u);
  const auto frames = client.Recorder->Dynamics();
  ASSERT_EQ(frames.size(), 20u);
  // Unpaced: one frame after the other, none skipped.
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i]->FrameNumber, static_cast<int32_t>(i));
  simulator.Stop();
}

TEST(Simulator, AnswersEachLateRequestAtOnceWithTheNewestFrameDue) {
  // The stream client asks for the next frame after its callback returns:
  // here 20 ms on, when four newer frames of the 200 Hz clock are due.
  class VSlowRecorder : public VStreamRecorder {
    void OnDynamicObjects(std::shared_ptr<const VDynamicObjects> objects) override {
      std::this_thread::sleep_for(20ms);
      VStreamRecorder::OnDynamicObjects(std::move(objects));
    }
  };
  VSimulator simulator(Loopback(200.0));
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  VClient client(simulator.Port(), {5, 6}, 0, std::make_shared<VSlowRecorder>());
  ASSERT_TRUE(client.Recorder->WaitForDynamics(10, 5s));
  const auto frames = client.Recorder->Dynamics();
  for (std::size_t i = 1; i < frames.size(); ++i)
    EXPECT_GE(frames[i]->FrameNumber, frames[i - 1]->FrameNumber + 2) << "the newest frame due, not the next one";
}

TEST(Simulator, PushesFramesInStreamModeOne) {
  VSimulator simulator(Loopback(200.0));
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  // With mode 1 the client sends one request and then only reads.
  VClient client(simulator.Port(), {5, 9}, 1);
  ASSERT_TRUE(client.Recorder->WaitForDynamics(20, 5s));
  const auto frames = client.Recorder->Dynamics();
  for (std::size_t i = 1; i < frames.size(); ++i) EXPECT_GT(frames[i]->FrameNumber, frames[i - 1]->FrameNumber);
  EXPECT_TRUE(HasOnlyRequestedKinds(*frames.back(), {5, 9}));
}

// Frame numbers from the first to the last, none missing.
bool Consecutive(const std::vector<std::shared_ptr<const VDynamicObjects>>& frames) {
  for (std::size_t i = 1; i < frames.size(); ++i)
    if (frames[i]->FrameNumber != frames[i - 1]->FrameNumber + 1) return false;
  return !frames.empty();
}

bool More(VClient& client, std::size_t count) {
  return client.Recorder->WaitForDynamics(client.Recorder->Dynamics().size() + count, 5s);
}

TEST(Simulator, BudgetClockWaitsForAClientThatComesLaterThanTheBudgetLasts) {
  // 10 frames at 200 Hz last 50 ms; the client comes after them. Its clock
  // starts with its first request, so it still gets frames 0 to 9.
  VSimulator simulator(Loopback(200.0, 10));
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  std::this_thread::sleep_for(100ms);
  VClient client(simulator.Port(), {5, 6}, 1);
  ASSERT_TRUE(client.Recorder->WaitForDisconnect(5s));
  const auto frames = client.Recorder->Dynamics();
  ASSERT_EQ(frames.size(), 10u);
  EXPECT_TRUE(frames.front()->FrameNumber == 0 && Consecutive(frames));
}

TEST(Simulator, ServesSeveralClientsEachWithItsOwnTypesAndModeOnOneClock) {
  VSimulatorOptions options = Loopback(200.0);
  options.MaxClients = 3;
  VSimulator simulator(options);
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  VClient requesting(simulator.Port(), {5, 6});
  VClient pushed(simulator.Port(), {2, 5, 9}, 1);
  ASSERT_TRUE(More(requesting, 10) && More(pushed, 10));
  {
    // A third joins and leaves; a fourth is one too many and is refused.
    VClient third(simulator.Port(), {5, 6});
    ASSERT_TRUE(More(third, 10));
    VClient fourth(simulator.Port(), {5});
    EXPECT_TRUE(fourth.Recorder->WaitForDisconnect(5s) && fourth.Recorder->Dynamics().empty());
  }
  ASSERT_TRUE(More(pushed, 20) && More(requesting, 20));
  EXPECT_FALSE(requesting.Recorder->WasDisconnected() || pushed.Recorder->WasDisconnected());
  EXPECT_EQ(simulator.ConnectionsRefused(), 1u);

  const auto asked = requesting.Recorder->Dynamics();
  const auto got = pushed.Recorder->Dynamics();
  EXPECT_TRUE(Consecutive(got)) << "a push client gets every frame";
  std::set<int32_t> pushedNumbers;
  for (const auto& frame : got) pushedNumbers.insert(frame->FrameNumber);
  std::size_t shared = 0;
  for (const auto& frame : asked) {
    EXPECT_TRUE(HasOnlyRequestedKinds(*frame, {5, 6}));
    shared += pushedNumbers.count(frame->FrameNumber);
  }
  for (const auto& frame : got) EXPECT_TRUE(HasOnlyRequestedKinds(*frame, {2, 5, 9}));
  EXPECT_GE(shared, 20u) << "one clock: the frames both got carry the same numbers";
}

// The demo scene at 200 Hz, holding back the sender of a client that asks
// for marker positions at frame 20 until the test lets it go.
const VDemoScene& HeldScene() {
  static const VDemoScene scene(200.0, 10);
  return scene;
}
class VHeldSource : public VSceneSource {
 public:
  VHeldSource() : VSceneSource(HeldScene(), 200.0) {}
  void Release() {
    std::lock_guard<std::mutex> lock(Mutex);
    Released = true;
    Changed.notify_all();
  }
  bool Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic, VBytes& packet,
              std::string& error) const override {
    std::unique_lock<std::mutex> lock(Mutex);
    if (frame >= 20 && requested.count(MarkerPositions) != 0) Changed.wait(lock, [this] { return Released; });
    return VSceneSource::Packet(frame, requested, withStatic, packet, error);
  }

 private:
  mutable std::mutex Mutex;
  mutable std::condition_variable Changed;
  bool Released = false;
};

TEST(Simulator, PushCatchesUpAfterADelayOfItsSenderWithoutSkipping) {
  auto owned = std::make_unique<VHeldSource>();
  VHeldSource& source = *owned;
  VSimulator simulator(Loopback(200.0), std::move(owned));
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  struct VLetGo {
    VHeldSource& Source;
    ~VLetGo() { Source.Release(); }  // before the simulator joins its threads
  } letGo{source};
  VClient held(simulator.Port(), {5, 6}, 1);
  VClient other(simulator.Port(), {5, 9}, 1);
  auto past = [](int32_t number) {
    return [number](const std::vector<VStreamRecorder::VEvent>& events) {
      return !events.empty() && events.back().Dynamic && events.back().Dynamic->FrameNumber >= number;
    };
  };
  // The other client goes on; the held one falls 0.3 s behind the clock.
  ASSERT_TRUE(other.Recorder->WaitFor(past(80), 5s));
  source.Release();
  ASSERT_TRUE(held.Recorder->WaitFor(past(80), 5s));
  EXPECT_TRUE(Consecutive(held.Recorder->Dynamics()));
  EXPECT_TRUE(Consecutive(other.Recorder->Dynamics()));
}

TEST(Simulator, PushClientThatStopsReadingIsCutWithinItsBound) {
  VSimulatorOptions options = Loopback(1000.0);
  options.StallLimit = 300ms;
  std::promise<void> cut;
  bool said = false;  // the log is called under the simulator's log lock
  options.Log = [&](const std::string& line) {
    if (!said && line.find("not reading (") != std::string::npos) cut.set_value(), said = true;
  };
  VSimulator simulator(options);
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  // The client that keeps reading asks for each frame (stream mode 0), so
  // that a slow machine (a sanitizer build) cannot make it a laggard too.
  VClient reading(simulator.Port(), {5, 6});
  ASSERT_TRUE(More(reading, 10));
  // A client with a small receive buffer asks for everything, then never reads.
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::socket stalled(io);
  stalled.open(asio::ip::tcp::v4());
  stalled.set_option(asio::socket_base::receive_buffer_size(4096));
  stalled.connect({asio::ip::make_address("127.0.0.1"), simulator.Port()});
  asio::write(stalled, asio::buffer(EncodePacket({EncodeObjectTypeList(PosesAndPlates), EncodeStreamMode(1)})));
  ASSERT_EQ(cut.get_future().wait_for(20s), std::future_status::ready);
  ASSERT_TRUE(More(reading, 50)) << "the reading client is still served";
  EXPECT_FALSE(reading.Recorder->WasDisconnected());
}

TEST(Simulator, MalformedRequestEndsTheConnectionButNotTheServer) {
  VSimulator simulator(Loopback(0.0));
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  {
    namespace asio = boost::asio;
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    boost::system::error_code ec;
    socket.connect({asio::ip::make_address("127.0.0.1"), simulator.Port()}, ec);
    ASSERT_FALSE(ec) << ec.message();
    // Every read below ends within five seconds whatever the server does.
    const timeval limit{5, 0};
    ASSERT_EQ(setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    std::vector<uint8_t> header(8);
    asio::read(socket, asio::buffer(header), ec);
    ASSERT_FALSE(ec) << ec.message();
    // A packet with the wrong magic.
    asio::write(socket, asio::buffer(EncodePacketWith(0x11223344, {EncodeStreamMode(0)})), ec);
    ASSERT_FALSE(ec) << ec.message();
    std::vector<uint8_t> rest(64 * 1024);
    std::size_t total = 0;
    for (int i = 0; i < 100 && !ec; ++i) total += socket.read_some(asio::buffer(rest), ec);
    EXPECT_EQ(ec, asio::error::eof) << "the server closes the connection: " << ec.message();
    (void)total;
  }
  // The next client is served normally.
  VClient client(simulator.Port(), {5});
  EXPECT_TRUE(client.Recorder->WaitForDynamics(3, 5s));
}

TEST(Simulator, RefusesUnusableOptions) {
  VSimulatorOptions badRate = Loopback(-1.0);
  VSimulator negative(badRate);
  EXPECT_FALSE(negative.Start());
  EXPECT_FALSE(negative.LastError().empty());

  VSimulatorOptions badAddress = Loopback(100.0);
  badAddress.Address = "not-an-address";
  VSimulator unparsable(badAddress);
  EXPECT_FALSE(unparsable.Start());

  VSimulator first(Loopback(100.0));
  ASSERT_TRUE(first.Start());
  VSimulatorOptions taken = Loopback(100.0);
  taken.Port = first.Port();
  VSimulator second(taken);
  EXPECT_FALSE(second.Start()) << "the port is in use";
  EXPECT_FALSE(first.Start()) << "a simulator starts once";
}

TEST(Simulator, ResendsTheDescriptionEveryStaticEveryFrames) {
  VSimulatorOptions options = Loopback(0.0, 35);
  options.StaticEvery = 10;
  VSimulator simulator(options);
  ASSERT_TRUE(simulator.Start()) << simulator.LastError();
  VClient client(simulator.Port(), {1, 2, 5});
  ASSERT_TRUE(client.Recorder->WaitForDisconnect(5s));
  // The description goes with frames 0, 10, 20 and 30, each time in front
  // of the frame of the same packet.
  std::vector<int32_t> describedFrames;
  const auto events = client.Recorder->Snapshot();
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!events[i].Static) continue;
    EXPECT_EQ(events[i].Static->Subjects.size(), 2u);
    EXPECT_TRUE(events[i].Static->Devices.empty()) << "devices were not requested";
    ASSERT_LT(i + 1, events.size());
    ASSERT_TRUE(events[i + 1].Dynamic);
    describedFrames.push_back(events[i + 1].Dynamic->FrameNumber);
  }
  EXPECT_EQ(describedFrames, (std::vector<int32_t>{0, 10, 20, 30}));
  EXPECT_EQ(client.Recorder->Dynamics().size(), 35u);
}
