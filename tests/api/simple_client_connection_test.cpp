// Facade lifecycle against a mock frame client: connecting and its
// refusals, the object types configured, disconnecting, the lost
// connection, frame fetching on both paths, prefetching and destruction.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "api/simple_client.h"
#include "facade_test_support.h"

using ::testing::_;
using ::testing::InSequence;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::StrictMock;

namespace {

class FacadeConnection : public ::testing::Test {
 protected:
  void SetUp() override { Source.Drive(Mock); }

  FrameSource Source;
  NiceMock<MockQSClient> Mock;
};

TEST(FacadeUnconnected, EveryOperationFailsWithNeutralOutputs) {
  VSimpleQSClient facade;
  EXPECT_FALSE(facade.IsConnected());
  EXPECT_FALSE(facade.GetFrame());
  EXPECT_FALSE(facade.Disconnect());
  EXPECT_FALSE(facade.EnableSegmentData());
  EXPECT_FALSE(facade.EnableMarkerData());
  EXPECT_FALSE(facade.EnableForcePlateData());

  int32_t n = 99;
  EXPECT_FALSE(facade.GetFrameNumber(n));
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_FALSE(facade.GetSubjectCount(n));
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_FALSE(facade.GetSegmentCount("Alice", n));
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_FALSE(facade.GetMarkerCount("Alice", n));
  EXPECT_EQ(n, 0);
  std::string name = "stale";
  EXPECT_FALSE(facade.GetSubjectName(1, name));
  EXPECT_EQ(name, "");
  name = "stale";
  EXPECT_FALSE(facade.GetSegmentName("Alice", 1, name));
  EXPECT_EQ(name, "");
  name = "stale";
  EXPECT_FALSE(facade.GetMarkerName("Alice", 1, name));
  EXPECT_EQ(name, "");

  std::array<double, 3> v = {7, 7, 7};
  std::array<double, 4> q = {7, 7, 7, 7};
  bool occluded = true;
  EXPECT_FALSE(facade.GetGlobalMarkerTranslation("Alice", "Head", v, occluded));
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  EXPECT_FALSE(occluded);
  v = {7, 7, 7};
  occluded = true;
  EXPECT_FALSE(facade.GetGlobalSegmentTranslation("Alice", "Pelvis", v, occluded));
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  EXPECT_FALSE(occluded);
  v = {7, 7, 7};
  occluded = true;
  EXPECT_FALSE(facade.GetGlobalSegmentRotationHelical("Alice", "Pelvis", v, occluded));
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  EXPECT_FALSE(occluded);
  occluded = true;
  EXPECT_FALSE(facade.GetGlobalSegmentRotationQuaternion("Alice", "Pelvis", q, occluded));
  EXPECT_EQ(q, (std::array<double, 4>{0, 0, 0, 0}));
  EXPECT_FALSE(occluded);

  n = 99;
  EXPECT_FALSE(facade.GetForcePlateCount(n));
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_FALSE(facade.GetForcePlateID(1, n));
  EXPECT_EQ(n, 0);
  v = {7, 7, 7};
  EXPECT_FALSE(facade.GetForceVector(1, v));
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  v = {7, 7, 7};
  EXPECT_FALSE(facade.GetMomentVector(1, v));
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  v = {7, 7, 7};
  EXPECT_FALSE(facade.GetCentreOfPressure(1, v));
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  n = 99;
  EXPECT_FALSE(facade.GetNumberOfAnalogChannels(1, n));
  EXPECT_EQ(n, 0);
  double voltage = 7.0;
  EXPECT_FALSE(facade.GetAnalogChannelVoltage(1, 1, voltage));
  EXPECT_EQ(voltage, 0.0);

  // Settings work without a connection.
  facade.SetLeftHandRule();
  facade.SetYUp();
  facade.SetRightHandRule();
  facade.SetZUp();
  facade.SetPreFetchMode(true);
  facade.SetPreFetchMode(false);
  facade.SetPreFetchMode(false);
  EXPECT_FALSE(facade.IsConnected());
}

TEST(FacadeConnect, ConfiguresObjectTypesInOrderLeaving20And21Alone) {
  StrictMock<MockQSClient> mock;
  {
    InSequence order;
    EXPECT_CALL(mock, IsConnected()).WillOnce(Return(false));
    // Configured before the connection starts, so the first request the
    // receiving thread sends already carries the types.
    for (int32_t type : {1, 2, 3, 4, 5}) EXPECT_CALL(mock, SetObjectTypeEnabled(type, true));
    for (int32_t type : {19, 14, 15, 16, 22, 6, 7, 8, 9, 10, 11, 12, 13, 17, 18}) {
      EXPECT_CALL(mock, SetObjectTypeEnabled(type, false));
    }
    EXPECT_CALL(mock, Connect("mocap-host", 801));
    EXPECT_CALL(mock, IsConnected()).WillOnce(Return(true));
    EXPECT_CALL(mock, Destroy());
  }
  VSimpleQSClient facade;
  EXPECT_TRUE(facade.Connect(Share(mock), "mocap-host"));
}

TEST(FacadeConnect, EnableOperationsAddTheirTypesInOrder) {
  FrameSource source;
  NiceMock<MockQSClient> mock;
  source.Drive(mock);
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(mock), "host"));
  {
    InSequence order;
    EXPECT_CALL(mock, SetObjectTypeEnabled(8, true));
    EXPECT_CALL(mock, SetObjectTypeEnabled(9, true));
    EXPECT_CALL(mock, SetObjectTypeEnabled(6, true));
    EXPECT_CALL(mock, SetObjectTypeEnabled(7, true));
    for (int32_t type : {10, 11, 12, 13}) EXPECT_CALL(mock, SetObjectTypeEnabled(type, true));
  }
  EXPECT_TRUE(facade.EnableSegmentData());
  EXPECT_TRUE(facade.EnableMarkerData());
  EXPECT_TRUE(facade.EnableForcePlateData());
}

TEST(FacadeConnect, EmptyHostIsRefusedWithoutTouchingTheClient) {
  StrictMock<MockQSClient> mock;
  EXPECT_CALL(mock, Destroy());
  VSimpleQSClient facade;
  EXPECT_FALSE(facade.Connect(Share(mock), ""));
  EXPECT_FALSE(facade.IsConnected());
}

TEST(FacadeConnect, ClientAlreadyReportingConnectedIsRefused) {
  StrictMock<MockQSClient> mock;
  EXPECT_CALL(mock, IsConnected()).WillOnce(Return(true));
  EXPECT_CALL(mock, Destroy());
  VSimpleQSClient facade;
  EXPECT_FALSE(facade.Connect(Share(mock), "host"));
  EXPECT_FALSE(facade.IsConnected());
}

TEST_F(FacadeConnection, FailedAttemptLeavesFacadeUnconnectedAndALaterConnectSucceeds) {
  // Declared before the facade, so it outlives the facade's reference.
  FrameSource second;
  NiceMock<MockQSClient> secondMock;
  second.Drive(secondMock);
  VSimpleQSClient facade;
  Source.ConnectSucceeds = false;
  EXPECT_FALSE(facade.Connect(Share(Mock), "unreachable"));
  EXPECT_EQ(Source.DestroyCalls, 1);  // the facade kept no reference
  EXPECT_FALSE(facade.IsConnected());
  ::testing::Mock::VerifyAndClearExpectations(&Mock);
  Source.Drive(Mock);

  EXPECT_TRUE(facade.Connect(Share(secondMock), "reachable"));
  EXPECT_TRUE(facade.IsConnected());
  ASSERT_EQ(second.Hosts.size(), 1u);
  EXPECT_EQ(second.Hosts[0], "reachable");
  EXPECT_EQ(second.Ports[0], 801);
}

TEST_F(FacadeConnection, SecondConnectWhileHoldingAClientIsRefused) {
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "first"));

  StrictMock<MockQSClient> other;
  EXPECT_CALL(other, Destroy());
  EXPECT_FALSE(facade.Connect(Share(other), "second"));
  EXPECT_TRUE(facade.IsConnected());
  EXPECT_EQ(Source.DestroyCalls, 0);
}

TEST_F(FacadeConnection, DisconnectSucceedsOnceAndReleasesTheClient) {
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  facade.SetPreFetchMode(true);
  ASSERT_TRUE(WaitUntil([&] { return Source.OtherCallerThreads() == 1; }));

  EXPECT_TRUE(facade.Disconnect());
  EXPECT_EQ(Source.DestroyCalls, 1);
  EXPECT_FALSE(facade.IsConnected());
  EXPECT_FALSE(facade.Disconnect());
  EXPECT_EQ(Source.DestroyCalls, 1);
  // The prefetch thread was joined before the client went: nothing may call
  // the released client, and this pause gives a stray turn time to show.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(Source.GetFramesAfterDestroy, 0);
  EXPECT_FALSE(facade.EnableMarkerData());
}

TEST_F(FacadeConnection, FrameOfThePreviousConnectionAnswersAfterReconnect) {
  FrameSource second;
  NiceMock<MockQSClient> secondMock;
  second.Drive(secondMock);
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  Source.Push(MakeFrame(5));
  ASSERT_TRUE(facade.GetFrame());
  ASSERT_TRUE(facade.Disconnect());

  ASSERT_TRUE(facade.Connect(Share(secondMock), "host"));
  int32_t n = 0;
  EXPECT_TRUE(facade.GetFrameNumber(n));
  EXPECT_EQ(n, 5);
  second.Push(MakeFrame(6));
  EXPECT_TRUE(facade.GetFrame());
  EXPECT_TRUE(facade.GetFrameNumber(n));
  EXPECT_EQ(n, 6);
}

TEST_F(FacadeConnection, LostConnectionFailsQueriesAndDisconnectReleasesTheDeadClient) {
  FrameSource fresh;
  NiceMock<MockQSClient> freshMock;
  fresh.Drive(freshMock);
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  Source.Push(MakeFrame(3));
  ASSERT_TRUE(facade.GetFrame());
  Source.Connected = false;  // the server went away

  int32_t n = 99;
  EXPECT_FALSE(facade.IsConnected());
  EXPECT_FALSE(facade.GetFrame());
  EXPECT_FALSE(facade.GetFrameNumber(n));
  EXPECT_EQ(n, 0);
  EXPECT_FALSE(facade.EnableSegmentData());

  // Connect still refuses while the dead client is held.
  StrictMock<MockQSClient> refused;
  EXPECT_CALL(refused, Destroy());
  EXPECT_FALSE(facade.Connect(Share(refused), "host"));

  // Disconnect reports false (nothing was connected) but lets go of it.
  EXPECT_FALSE(facade.Disconnect());
  EXPECT_EQ(Source.DestroyCalls, 1);
  EXPECT_FALSE(facade.Disconnect());
  EXPECT_EQ(Source.DestroyCalls, 1);

  EXPECT_TRUE(facade.Connect(Share(freshMock), "host"));
  EXPECT_TRUE(facade.IsConnected());
}

TEST_F(FacadeConnection, LostConnectionDisconnectStopsPrefetchingBeforeReleasing) {
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  facade.SetPreFetchMode(true);
  ASSERT_TRUE(WaitUntil([&] { return Source.OtherCallerThreads() == 1; }));
  Source.Connected = false;

  EXPECT_FALSE(facade.Disconnect());
  EXPECT_EQ(Source.DestroyCalls, 1);
  const int callsAtRelease = Source.GetFramesCalls;
  // Nothing may call the released client: a stray prefetch turn would show
  // within this pause.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(Source.GetFramesAfterDestroy, 0);
  EXPECT_EQ(Source.GetFramesCalls, callsAtRelease);
}

TEST_F(FacadeConnection, DirectPathTakesTheNewestQueuedFrameAndKeepsItWhenNothingArrives) {
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  int32_t n = 99;
  EXPECT_FALSE(facade.GetFrameNumber(n));  // connected, but no frame yet
  EXPECT_FALSE(facade.GetSubjectCount(n));

  EXPECT_TRUE(facade.GetFrame());  // nothing queued: still true
  EXPECT_FALSE(facade.GetFrameNumber(n));

  Source.Push(MakeFrame(10));
  Source.Push(MakeFrame(11));
  Source.Push(MakeFrame(12));
  EXPECT_TRUE(facade.GetFrame());
  EXPECT_TRUE(facade.GetFrameNumber(n));
  EXPECT_EQ(n, 12);

  EXPECT_TRUE(facade.GetFrame());
  EXPECT_TRUE(facade.GetFrameNumber(n));
  EXPECT_EQ(n, 12);
  EXPECT_EQ(Source.GetFramesOnTestThread, 3);  // one per GetFrame
  EXPECT_EQ(Source.OtherCallerThreads(), 0u);
}

TEST_F(FacadeConnection, DirectPathLetsGoOfAReplacedFrameAtTheNextGetFrameOrAtDisconnect) {
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  std::weak_ptr<const LumoraQSStream::VDynamicObjects> data[3];
  for (int32_t i = 0; i < 3; ++i) {
    VFrameRecord frame = MakeFrame(20 + i);
    data[i] = frame.Data = std::make_shared<const LumoraQSStream::VDynamicObjects>();
    Source.Push(frame);
    ASSERT_TRUE(facade.GetFrame());
  }
  EXPECT_TRUE(data[0].expired());  // replaced, then let go of by a later GetFrame
  EXPECT_TRUE(facade.Disconnect());
  EXPECT_TRUE(data[1].expired());  // replaced last: let go of with the connection
}

TEST_F(FacadeConnection, PrefetchPathAnswersTheNewestFrameFetchedOnEitherPath) {
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  Source.Push(MakeFrame(20));
  facade.SetPreFetchMode(true);  // fetches once on this thread
  EXPECT_EQ(Source.GetFramesOnTestThread, 1);

  int32_t n = 0;
  EXPECT_TRUE(facade.GetFrame());
  EXPECT_TRUE(facade.GetFrameNumber(n));
  EXPECT_EQ(n, 20);

  // Polls GetFrame until the prefetch thread has delivered frame `number`.
  auto prefetchDelivers = [&](int32_t number) {
    return WaitUntil([&] {
      facade.GetFrame();
      return facade.GetFrameNumber(n) && n == number;
    });
  };
  Source.Push(MakeFrame(21));
  EXPECT_TRUE(prefetchDelivers(21));
  EXPECT_EQ(Source.GetFramesOnTestThread, 1);  // GetFrame never fetched itself
  EXPECT_EQ(Source.OtherCallerThreads(), 1u);

  facade.SetPreFetchMode(false);
  Source.Push(MakeFrame(22));
  EXPECT_TRUE(facade.GetFrame());
  EXPECT_EQ(Source.GetFramesOnTestThread, 2);  // direct path again
  EXPECT_TRUE(facade.GetFrameNumber(n));
  EXPECT_EQ(n, 22);

  // Prefetching again with nothing queued: GetFrame keeps answering the
  // directly fetched 22, never an older frame the prefetch thread held (21,
  // or 20, the record CurrentFrame held when 21 was taken over).
  facade.SetPreFetchMode(true);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(facade.GetFrame());
    EXPECT_TRUE(facade.GetFrameNumber(n));
    EXPECT_EQ(n, 22);
  }
  Source.Push(MakeFrame(23));
  EXPECT_TRUE(prefetchDelivers(23));
}

TEST_F(FacadeConnection, StartingPrefetchTwiceRunsOneThread) {
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  facade.SetPreFetchMode(true);
  ASSERT_TRUE(WaitUntil([&] { return Source.OtherCallerThreads() == 1; }));
  facade.SetPreFetchMode(true);
  EXPECT_EQ(Source.GetFramesOnTestThread, 2);  // each start fetches once
  const int before = Source.GetFramesCalls;
  ASSERT_TRUE(WaitUntil([&] { return Source.GetFramesCalls > before + 10; }));
  EXPECT_EQ(Source.OtherCallerThreads(), 1u);
}

TEST_F(FacadeConnection, PrefetchThreadSleepsOnTheQueueOnceTheStreamIsQuiet) {
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  facade.SetPreFetchMode(true);
  // Nothing arrives: after polling for a while the thread waits for frames,
  // and while it waits it does not poll.
  ASSERT_TRUE(WaitUntil([&] { return Source.WaitCalls >= 1; }));
  const int polls = Source.PollCalls;
  ASSERT_TRUE(WaitUntil([&] { return Source.WaitCalls >= 4; }));
  EXPECT_EQ(Source.PollCalls, polls);
  // A frame ends the wait and is delivered.
  Source.Push(MakeFrame(40));
  int32_t n = 0;
  EXPECT_TRUE(WaitUntil([&] {
    facade.GetFrame();
    return facade.GetFrameNumber(n) && n == 40;
  }));
}

TEST_F(FacadeConnection, AFrameClientThatDeliversFillsThePrefetchRecordUntilPrefetchingStops) {
  Source.TakesSink = true;
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  facade.SetPreFetchMode(true);
  // As the receiving thread, once the prefetch thread has set the sink.
  VFrameRecord frame = MakeFrame(50);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(Source.Lock);
    if (Source.Sink) Source.Sink(frame);
    return static_cast<bool>(Source.Sink);
  }));
  int32_t n = 0;
  EXPECT_TRUE(facade.GetFrame() && facade.GetFrameNumber(n));
  EXPECT_EQ(n, 50);
  EXPECT_EQ(Source.OtherCallerThreads(), 0u);  // no thread polls meanwhile
  facade.SetPreFetchMode(false);
  std::lock_guard<std::mutex> lock(Source.Lock);
  EXPECT_FALSE(Source.Sink);  // frames go to the queue again
}

TEST_F(FacadeConnection, PrefetchStartedBeforeConnectDeliversOnceConnected) {
  VSimpleQSClient facade;
  facade.SetPreFetchMode(true);  // no client yet: the thread waits for one
  // Waits without a client leave no trace to wait for; this pause lets some
  // pass, and nothing may come of them (no call, no crash).
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
  Source.Push(MakeFrame(30));
  int32_t n = 0;
  EXPECT_TRUE(WaitUntil([&] {
    facade.GetFrame();
    return facade.GetFrameNumber(n) && n == 30;
  }));
  EXPECT_EQ(Source.GetFramesOnTestThread, 0);
  EXPECT_EQ(Source.OtherCallerThreads(), 1u);
}

TEST(FacadeDestruction, WhilePrefetchingWithoutAConnectionJoinsTheThread) {
  // Destroying a still-joinable thread object aborts the process; run the
  // destruction in a child process and require a normal exit.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto facade = std::make_unique<VSimpleQSClient>();
        facade->SetPreFetchMode(true);
        // Turns without a client leave no trace to wait for: a pause in
        // which the thread runs, and the destruction must still join it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        facade.reset();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(FacadeConnection, DestructionInTheLostStateStopsPrefetchingBeforeReleasing) {
  auto facade = std::make_unique<VSimpleQSClient>();
  ASSERT_TRUE(facade->Connect(Share(Mock), "host"));
  facade->SetPreFetchMode(true);
  ASSERT_TRUE(WaitUntil([&] { return Source.OtherCallerThreads() == 1; }));
  Source.Connected = false;
  facade.reset();
  EXPECT_EQ(Source.DestroyCalls, 1);
  const int callsAtRelease = Source.GetFramesCalls;
  // Nothing may call the released client: a stray prefetch turn would show
  // within this pause.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(Source.GetFramesAfterDestroy, 0);
  EXPECT_EQ(Source.GetFramesCalls, callsAtRelease);
}

TEST_F(FacadeConnection, DestructionWhileConnectedReleasesTheClient) {
  {
    VSimpleQSClient facade;
    ASSERT_TRUE(facade.Connect(Share(Mock), "host"));
    facade.SetPreFetchMode(true);
    EXPECT_EQ(Source.DestroyCalls, 0);
  }
  EXPECT_EQ(Source.DestroyCalls, 1);
  EXPECT_EQ(Source.GetFramesAfterDestroy, 0);
}

}  // namespace
