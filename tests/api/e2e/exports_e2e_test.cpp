// End-to-end tests of libQS.so: the host's view (QS.h and the exported
// functions only) against a real capture-server peer listening on port 801.
//
// The exports always connect to port 801, so every test binds its server to
// port 801 on a loopback address of its own (127.0.0.2, 127.0.0.3, ...) and
// connects to that address. The test program runs inside a private network
// namespace, so port 801 is free there; a test whose server cannot listen is
// skipped with the reason.
//
// The library holds one process-wide client. Every test leaves it
// disconnected, and the fixture disconnects once more and restores the
// default settings in case a test stopped early.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QS.h"
#include "serve/wire_encoder.h"
#include "testing/capture_server.h"
#include "tests/support/exports_test_support.h"
#include "tests/support/payload_builders.h"
#include "tests/support/process_stats.h"

namespace {

using namespace std::chrono_literals;
using QSTesting::EServeBehaviour;
using LumoraQSServe::VBytes;
using QSTesting::VCaptureServer;
using QSTesting::VCaptureServerOptions;
using LumoraQSServe::VRecordedRequest;
using Clock = std::chrono::steady_clock;
using namespace QSExportsTest;

constexpr double Sqrt1_2 = 0.70710678118654752440;
constexpr double Pi = 3.14159265358979323846;

// Threads of this process (the library's receiving and prefetch threads
// among them); -1 when /proc is not readable.
int ThreadCount() { return QSSoak::Threads(); }

// The thread count to compare later counts with. A runtime that starts a
// helper thread of its own on the first thread creation (a sanitizer) has
// done so once a throwaway thread has run.
int BaselineThreadCount() {
  std::thread([] {}).join();
  return ThreadCount();
}

bool WaitForThreadCount(int expected, std::chrono::milliseconds timeout = 3000ms) {
  return WaitUntil([expected] { return ThreadCount() == expected; }, timeout);
}

// ---- The scene every frame packet carries ---------------------------------------
//
// Subjects: "Alice" (id 7) with segments Pelvis (11), Thigh (12) and Shin
// (13, never posed) and markers LASI (21), RASI (22); "Bob" (id 8) with
// segment Head (31) and no markers.
// Devices, in this order: 3 "EMG" (one output of two channels: not a force
// plate), 5 "PlateA" (force, moment, centre of pressure and a four-channel
// analog output), 9 "PlateB" (the three vector outputs, no analog output).

LumoraQSStream::VSegmentInfo Segment(int32_t id, const std::string& name) {
  LumoraQSStream::VSegmentInfo segment;
  segment.SegmentID = id;
  segment.Name = name;
  return segment;
}

LumoraQSStream::VMarkerInfo Marker(int32_t id, const std::string& name) {
  LumoraQSStream::VMarkerInfo marker;
  marker.MarkerID = id;
  marker.Name = name;
  return marker;
}

LumoraQSStream::VDeviceOutputInfo Output(int32_t device, int32_t output, const std::string& name,
                                         std::vector<std::string> components) {
  LumoraQSStream::VDeviceOutputInfo info;
  info.DeviceID = device;
  info.OutputID = output;
  info.Name = name;
  info.ComponentNames = std::move(components);
  return info;
}

// `samples` values, each `fill` except the first of every component, which
// holds `firsts[c]`.
std::vector<float> Components(const std::vector<float>& firsts, std::size_t perComponent,
                              float fill) {
  std::vector<float> samples(firsts.size() * perComponent, fill);
  for (std::size_t c = 0; c < firsts.size(); ++c) samples[c * perComponent] = firsts[c];
  return samples;
}

// The scene description and every data kind, with frame number `number`.
// `pelvisX` lets a test tell frames apart by content as well.
VBytes FramePacket(int32_t number, double pelvisX = 1.0) {
  LumoraQSStream::VSubjectInfo alice;
  alice.SubjectID = 7;
  alice.Name = "Alice";
  alice.Segments = {Segment(11, "Pelvis"), Segment(12, "Thigh"), Segment(13, "Shin")};
  alice.Markers = {Marker(21, "LASI"), Marker(22, "RASI")};
  LumoraQSStream::VSubjectInfo bob;
  bob.SubjectID = 8;
  bob.Name = "Bob";
  bob.Segments = {Segment(31, "Head")};

  LumoraQSStream::VDeviceInfo emg;
  emg.DeviceID = 3;
  emg.Name = "EMG";
  LumoraQSStream::VDeviceInfo plateA;
  plateA.DeviceID = 5;
  plateA.Name = "PlateA";
  LumoraQSStream::VDeviceInfo plateB;
  plateB.DeviceID = 9;
  plateB.Name = "PlateB";

  LumoraQSStream::VSegmentPoses alicePoses;
  alicePoses.SubjectID = 7;
  alicePoses.Poses = {
      MakePose(11, {pelvisX, 2.0, 3.0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}),
      // 90 degrees about z.
      MakePose(12, {10.0, -20.0, 30.5}, {0, -1, 0, 1, 0, 0, 0, 0, 1}),
  };
  LumoraQSStream::VSegmentPoses bobPoses;
  bobPoses.SubjectID = 8;
  // 180 degrees about x.
  bobPoses.Poses = {MakePose(31, {4.0, 5.0, 6.0}, {1, 0, 0, 0, -1, 0, 0, 0, -1})};

  using namespace LumoraQSServe;
  using namespace QSTesting;
  return EncodePacket({
      EncodeSubjectInfo(alice),
      EncodeSubjectInfo(bob),
      EncodeDeviceInfo(emg),
      EncodeDeviceInfo(plateA),
      EncodeDeviceInfo(plateB),
      EncodeDeviceOutputInfo(Output(3, 10, "EMG", {"e1", "e2"})),
      EncodeDeviceOutputInfo(Output(5, 1, "Force", {"Fx", "Fy", "Fz"})),
      EncodeDeviceOutputInfo(Output(5, 2, "Moment", {"Mx", "My", "Mz"})),
      EncodeDeviceOutputInfo(Output(5, 3, "CoP", {"Cx", "Cy", "Cz"})),
      EncodeDeviceOutputInfo(Output(5, 4, "Analog", {"ch1", "ch2", "ch3", "ch4"})),
      EncodeDeviceOutputInfo(Output(9, 1, "Force", {"Fx", "Fy", "Fz"})),
      EncodeDeviceOutputInfo(Output(9, 2, "Moment", {"Mx", "My", "Mz"})),
      EncodeDeviceOutputInfo(Output(9, 3, "CoP", {"Cx", "Cy", "Cz"})),
      EncodeFrameNumber(number),
      EncodeGlobalSegmentPoses(alicePoses),
      EncodeGlobalSegmentPoses(bobPoses),
      EncodeMarkerPositions({MakeMarkerPosition(7, 21, {100.0, 200.0, 300.0}),
                             MakeMarkerPosition(7, 22, {-1.5, 0.0, 2.25})}),
      // Plate A: ten samples per component; plate B: one.
      EncodeForceData(MakeData(5, 1, Components({1.5f, -2.25f, 3.75f}, 10, 99.0f))),
      EncodeForceData(MakeData(9, 1, {7.0f, 8.0f, 9.0f})),
      EncodeMomentData(MakeData(5, 2, {0.5f, 0.25f, -0.125f})),
      EncodeCentreOfPressureData(MakeData(5, 3, Components({0.375f, -0.625f, 1.0f}, 2, 77.0f))),
      EncodeVoltageData(MakeData(5, 4, Components({1.25f, 2.5f, -3.75f, 5.0f}, 10, -9.0f))),
  });
}

// A frame with the frame number only (no scene description, no data).
VBytes NumberOnlyPacket(int32_t number) {
  return LumoraQSServe::EncodePacket({LumoraQSServe::EncodeFrameNumber(number)});
}

class QSEndToEnd : public ::testing::Test {
 protected:
  void TearDown() override {
    // Releases a held (or lost) connection and stops prefetching; the
    // settings go back to their defaults for the next test in this process.
    Disconnect();
    SetPreFetchMode(0);
    SetRightHandRule();
    SetZUp();
  }
};

// ---- Connecting and the requests the server sees --------------------------------

TEST_F(QSEndToEnd, ConnectAsksForSceneAndFrameNumbersThenForTheEnabledKinds) {
  VCaptureServer server(On801("127.0.0.2", EServeBehaviour::AnswerEachRequest));
  QS_START_OR_SKIP(server);
  server.Push(FramePacket(101));

  ASSERT_EQ(1, +Connect("127.0.0.2"));
  EXPECT_EQ(1, +IsConnected());
  ASSERT_TRUE(server.WaitForRequests(1, 5000ms));
  const VRecordedRequest first = server.Requests().front();
  EXPECT_TRUE(first.WellFormed);
  ASSERT_TRUE(first.HasTypeList);
  EXPECT_EQ(first.Types, (std::set<int32_t>{1, 2, 3, 4, 5}));
  ASSERT_TRUE(first.HasStreamMode);
  EXPECT_EQ(first.StreamMode, 0);

  ASSERT_TRUE(WaitForFrame(101));
  EXPECT_EQ(1, +EnableSegmentData());
  EXPECT_EQ(1, +EnableMarkerData());
  EXPECT_EQ(1, +EnableForcePlateData());
  // Packet 102 answers a request that may have left before the enables;
  // the request that packet 103 answers left after 102 was read, so by the
  // time frame 103 is taken the server has recorded the new type set.
  server.Push(FramePacket(102));
  server.Push(FramePacket(103));
  ASSERT_TRUE(WaitForFrame(103));

  const std::set<int32_t> all = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  std::vector<std::set<int32_t>> typeLists;
  for (const VRecordedRequest& request : server.Requests()) {
    EXPECT_TRUE(request.WellFormed);
    EXPECT_EQ(request.Connection, 1u);
    ASSERT_TRUE(request.HasStreamMode);  // the stream stays in mode 0: every request carries it
    EXPECT_EQ(request.StreamMode, 0);
    if (request.HasTypeList) typeLists.push_back(request.Types);
  }
  ASSERT_GE(typeLists.size(), 2u);
  EXPECT_EQ(typeLists.back(), all);
  for (const std::set<int32_t>& types : typeLists) {
    for (int32_t type = 1; type <= 5; ++type) EXPECT_EQ(types.count(type), 1u) << type;
    for (int32_t type : types) EXPECT_EQ(all.count(type), 1u) << "type " << type << " requested";
  }
  EXPECT_EQ(server.ConnectionsAccepted(), 1u);

  EXPECT_EQ(1, +Disconnect());
  EXPECT_EQ(0, +IsConnected());
  EXPECT_TRUE(server.WaitForClosedConnections(1, 5000ms));
}

TEST_F(QSEndToEnd, RefusedConnectsReachNoServerAndLeaveTheConnectionAlone) {
  VCaptureServer server(On801("127.0.0.5", EServeBehaviour::AnswerEachRequest));
  QS_START_OR_SKIP(server);

  EXPECT_EQ(0, +Connect(nullptr));
  EXPECT_EQ(0, +Connect(""));
  EXPECT_EQ(0, +IsConnected());
  EXPECT_FALSE(server.WaitForConnections(1, 300ms)) << "a refused Connect reached the server";

  server.Push(FramePacket(501));
  ASSERT_EQ(1, +Connect("127.0.0.5"));
  ASSERT_TRUE(server.WaitForConnections(1, 5000ms));
  ASSERT_TRUE(WaitForFrame(501));

  // A second Connect while connected: refused, no second connection, and
  // the first one keeps delivering.
  EXPECT_EQ(0, +Connect("127.0.0.5"));
  EXPECT_FALSE(server.WaitForConnections(2, 300ms)) << "Connect while connected reached the server";
  EXPECT_EQ(1, +IsConnected());
  server.Push(FramePacket(502));
  EXPECT_TRUE(WaitForFrame(502));
  EXPECT_EQ(server.ConnectionsAccepted(), 1u);

  EXPECT_EQ(1, +Disconnect());
}

TEST_F(QSEndToEnd, ConnectWhereNothingListensFailsAndALaterConnectSucceeds) {
  {
    // Binding the address proves nobody else listens there; once this
    // server has stopped, nothing does.
    VCaptureServer reserve(On801("127.0.0.6", EServeBehaviour::CloseAfterAccept));
    QS_START_OR_SKIP(reserve);
    reserve.Stop();
  }
  EXPECT_EQ(0, +Connect("127.0.0.6"));
  EXPECT_EQ(0, +IsConnected());
  EXPECT_EQ(0, +GetFrame());
  EXPECT_EQ(0, +Disconnect());

  VCaptureServer server(On801("127.0.0.6", EServeBehaviour::AnswerEachRequest));
  QS_START_OR_SKIP(server);
  server.Push(FramePacket(601));
  ASSERT_EQ(1, +Connect("127.0.0.6"));
  EXPECT_EQ(1, +IsConnected());
  EXPECT_TRUE(WaitForFrame(601));
  EXPECT_EQ(1, +Disconnect());
}

// ---- Queries on a frame taken from the server -----------------------------------

TEST_F(QSEndToEnd, SubjectsSegmentsMarkersAndPosesComeFromTheServersFrame) {
  VCaptureServer server(On801("127.0.0.3", EServeBehaviour::AnswerEachRequest));
  QS_START_OR_SKIP(server);
  server.Push(FramePacket(301));
  ASSERT_EQ(1, +Connect("127.0.0.3"));
  ASSERT_EQ(1, +EnableSegmentData());
  ASSERT_EQ(1, +EnableMarkerData());
  ASSERT_TRUE(WaitForFrame(301));
  int32_t number = 0;
  EXPECT_EQ(1, +GetFrameNumber(&number));
  EXPECT_EQ(number, 301);

  int32_t count = -1;
  EXPECT_EQ(1, +GetSubjectCount(&count));
  EXPECT_EQ(count, 2);
  EXPECT_STREQ(GetSubjectName(1), "Alice");
  EXPECT_STREQ(GetSubjectName(2), "Bob");
  EXPECT_STREQ(GetSubjectName(3), "");
  EXPECT_STREQ(GetSubjectName(0), "");
  EXPECT_EQ(1, +GetSegmentCount("Alice", &count));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(1, +GetSegmentCount("Bob", &count));
  EXPECT_EQ(count, 1);
  EXPECT_EQ(0, +GetSegmentCount("alice", &count));  // names are case-sensitive
  EXPECT_EQ(count, 0);
  EXPECT_STREQ(GetSegmentName("Alice", 1), "Pelvis");
  EXPECT_STREQ(GetSegmentName("Alice", 3), "Shin");
  EXPECT_STREQ(GetSegmentName("Alice", 4), "");
  EXPECT_STREQ(GetSegmentName("Bob", 1), "Head");
  EXPECT_EQ(1, +GetMarkerCount("Alice", &count));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(1, +GetMarkerCount("Bob", &count));
  EXPECT_EQ(count, 0);
  EXPECT_STREQ(GetMarkerName("Alice", 1), "LASI");
  EXPECT_STREQ(GetMarkerName("Alice", 2), "RASI");
  EXPECT_STREQ(GetMarkerName("Bob", 1), "");

  double v[4] = {-1, -1, -1, -1};
  int32_t occluded = -1;
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  EXPECT_EQ(occluded, 0);
  EXPECT_DOUBLE_EQ(v[0], 1.0);
  EXPECT_DOUBLE_EQ(v[1], 2.0);
  EXPECT_DOUBLE_EQ(v[2], 3.0);
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Thigh", v, &occluded));
  EXPECT_EQ(occluded, 0);
  EXPECT_DOUBLE_EQ(v[0], 10.0);
  EXPECT_DOUBLE_EQ(v[1], -20.0);
  EXPECT_DOUBLE_EQ(v[2], 30.5);

  EXPECT_EQ(1, +GetGlobalSegmentRotationQuaternion("Alice", "Thigh", v, &occluded));
  EXPECT_EQ(occluded, 0);
  EXPECT_NEAR(v[0], 0.0, 1e-12);
  EXPECT_NEAR(v[1], 0.0, 1e-12);
  EXPECT_NEAR(v[2], Sqrt1_2, 1e-12);
  EXPECT_NEAR(v[3], Sqrt1_2, 1e-12);
  EXPECT_EQ(1, +GetGlobalSegmentRotationHelical("Alice", "Thigh", v, &occluded));
  EXPECT_EQ(occluded, 0);
  EXPECT_NEAR(v[0], 0.0, 1e-12);
  EXPECT_NEAR(v[1], 0.0, 1e-12);
  EXPECT_NEAR(v[2], Pi / 2, 1e-12);
  EXPECT_EQ(1, +GetGlobalSegmentRotationQuaternion("Alice", "Pelvis", v, &occluded));
  EXPECT_NEAR(v[0], 0.0, 1e-12);
  EXPECT_NEAR(v[1], 0.0, 1e-12);
  EXPECT_NEAR(v[2], 0.0, 1e-12);
  EXPECT_NEAR(v[3], 1.0, 1e-12);
  EXPECT_EQ(1, +GetGlobalSegmentRotationHelical("Bob", "Head", v, &occluded));
  EXPECT_NEAR(v[0], Pi, 1e-12);
  EXPECT_NEAR(v[1], 0.0, 1e-12);
  EXPECT_NEAR(v[2], 0.0, 1e-12);
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Bob", "Head", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], 4.0);
  EXPECT_DOUBLE_EQ(v[1], 5.0);
  EXPECT_DOUBLE_EQ(v[2], 6.0);

  // A segment of the scene without a pose in this frame: found, occluded.
  v[0] = v[1] = v[2] = 42.0;
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Shin", v, &occluded));
  EXPECT_EQ(occluded, 1);
  EXPECT_EQ(v[0], 0.0);
  EXPECT_EQ(v[1], 0.0);
  EXPECT_EQ(v[2], 0.0);
  EXPECT_EQ(1, +GetGlobalSegmentRotationQuaternion("Alice", "Shin", v, &occluded));
  EXPECT_EQ(occluded, 1);
  // A segment of another subject is not Alice's.
  EXPECT_EQ(0, +GetGlobalSegmentTranslation("Alice", "Head", v, &occluded));
  EXPECT_EQ(occluded, 0);

  EXPECT_EQ(1, +GetGlobalMarkerTranslation("Alice", "LASI", v, &occluded));
  EXPECT_EQ(occluded, 0);
  EXPECT_DOUBLE_EQ(v[0], 100.0);
  EXPECT_DOUBLE_EQ(v[1], 200.0);
  EXPECT_DOUBLE_EQ(v[2], 300.0);
  EXPECT_EQ(1, +GetGlobalMarkerTranslation("Alice", "RASI", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], -1.5);
  EXPECT_DOUBLE_EQ(v[1], 0.0);
  EXPECT_DOUBLE_EQ(v[2], 2.25);

  // Axis conventions apply to translations on the frame already taken.
  SetYUp();
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], 1.0);
  EXPECT_DOUBLE_EQ(v[1], 3.0);
  EXPECT_DOUBLE_EQ(v[2], -2.0);
  EXPECT_EQ(1, +GetGlobalMarkerTranslation("Alice", "LASI", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], 100.0);
  EXPECT_DOUBLE_EQ(v[1], 300.0);
  EXPECT_DOUBLE_EQ(v[2], -200.0);
  SetLeftHandRule();
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], -1.0);
  EXPECT_DOUBLE_EQ(v[1], 3.0);
  EXPECT_DOUBLE_EQ(v[2], -2.0);
  SetZUp();
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], -1.0);
  EXPECT_DOUBLE_EQ(v[1], 2.0);
  EXPECT_DOUBLE_EQ(v[2], 3.0);
  // The marker at x = 0 is negated exactly.
  EXPECT_EQ(1, +GetGlobalMarkerTranslation("Alice", "RASI", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], 1.5);
  EXPECT_EQ(v[1], 0.0);
  EXPECT_DOUBLE_EQ(v[2], 2.25);
  // Rotations are never converted.
  EXPECT_EQ(1, +GetGlobalSegmentRotationQuaternion("Alice", "Thigh", v, &occluded));
  EXPECT_NEAR(v[2], Sqrt1_2, 1e-12);
  EXPECT_NEAR(v[3], Sqrt1_2, 1e-12);
  SetRightHandRule();
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], 1.0);
  EXPECT_DOUBLE_EQ(v[1], 2.0);
  EXPECT_DOUBLE_EQ(v[2], 3.0);

  // A frame that carries only its number keeps the scene description of
  // the last one but has no poses or positions of its own.
  server.Push(NumberOnlyPacket(302));
  ASSERT_TRUE(WaitForFrame(302));
  EXPECT_EQ(1, +GetSubjectCount(&count));
  EXPECT_EQ(count, 2);
  v[0] = 42.0;
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  EXPECT_EQ(occluded, 1);
  EXPECT_EQ(v[0], 0.0);
  EXPECT_EQ(1, +GetGlobalMarkerTranslation("Alice", "LASI", v, &occluded));
  EXPECT_EQ(occluded, 1);

  EXPECT_EQ(1, +Disconnect());
}

TEST_F(QSEndToEnd, ForcePlatesAndAnalogChannelsComeFromTheServersDevices) {
  VCaptureServer server(On801("127.0.0.4", EServeBehaviour::AnswerEachRequest));
  QS_START_OR_SKIP(server);
  server.Push(FramePacket(401));
  ASSERT_EQ(1, +Connect("127.0.0.4"));
  ASSERT_EQ(1, +EnableForcePlateData());
  ASSERT_TRUE(WaitForFrame(401));

  int32_t count = -1;
  EXPECT_EQ(1, +GetForcePlateCount(&count));
  EXPECT_EQ(count, 2);
  int32_t id = -1;
  EXPECT_EQ(1, +GetForcePlateID(1, &id));
  EXPECT_EQ(id, 5);
  EXPECT_EQ(1, +GetForcePlateID(2, &id));
  EXPECT_EQ(id, 9);
  EXPECT_EQ(0, +GetForcePlateID(3, &id));
  EXPECT_EQ(id, 0);
  EXPECT_EQ(0, +GetForcePlateID(0, &id));

  double v[3] = {-1, -1, -1};
  // Samples 0, 10 and 20 of thirty.
  EXPECT_EQ(1, +GetForceVector(5, v));
  EXPECT_DOUBLE_EQ(v[0], 1.5);
  EXPECT_DOUBLE_EQ(v[1], -2.25);
  EXPECT_DOUBLE_EQ(v[2], 3.75);
  EXPECT_EQ(1, +GetForceVector(9, v));
  EXPECT_DOUBLE_EQ(v[0], 7.0);
  EXPECT_DOUBLE_EQ(v[1], 8.0);
  EXPECT_DOUBLE_EQ(v[2], 9.0);
  EXPECT_EQ(1, +GetMomentVector(5, v));
  EXPECT_DOUBLE_EQ(v[0], 0.5);
  EXPECT_DOUBLE_EQ(v[1], 0.25);
  EXPECT_DOUBLE_EQ(v[2], -0.125);
  EXPECT_EQ(1, +GetCentreOfPressure(5, v));
  EXPECT_DOUBLE_EQ(v[0], 0.375);
  EXPECT_DOUBLE_EQ(v[1], -0.625);
  EXPECT_DOUBLE_EQ(v[2], 1.0);
  // Plate B sent no moment: no data, no vector.
  v[0] = 42;
  EXPECT_EQ(0, +GetMomentVector(9, v));
  EXPECT_EQ(v[0], 0.0);
  // The EMG device is not a force plate.
  EXPECT_EQ(0, +GetForceVector(3, v));
  EXPECT_EQ(0, +GetNumberOfAnalogChannels(3, &count));

  EXPECT_EQ(1, +GetNumberOfAnalogChannels(5, &count));
  EXPECT_EQ(count, 4);
  EXPECT_EQ(0, +GetNumberOfAnalogChannels(9, &count));  // no analog output
  EXPECT_EQ(count, 0);
  double volts = -1;
  EXPECT_EQ(1, +GetAnalogChannelVoltage(5, 1, &volts));
  EXPECT_DOUBLE_EQ(volts, 1.25);
  EXPECT_EQ(1, +GetAnalogChannelVoltage(5, 2, &volts));
  EXPECT_DOUBLE_EQ(volts, 2.5);
  EXPECT_EQ(1, +GetAnalogChannelVoltage(5, 3, &volts));
  EXPECT_DOUBLE_EQ(volts, -3.75);
  EXPECT_EQ(1, +GetAnalogChannelVoltage(5, 4, &volts));
  EXPECT_DOUBLE_EQ(volts, 5.0);
  EXPECT_EQ(0, +GetAnalogChannelVoltage(5, 5, &volts));
  EXPECT_EQ(volts, 0.0);
  EXPECT_EQ(0, +GetAnalogChannelVoltage(5, 0, &volts));
  EXPECT_EQ(0, +GetAnalogChannelVoltage(9, 1, &volts));

  // Vectors follow the axis convention; voltages do not.
  SetYUp();
  EXPECT_EQ(1, +GetForceVector(5, v));
  EXPECT_DOUBLE_EQ(v[0], 1.5);
  EXPECT_DOUBLE_EQ(v[1], 3.75);
  EXPECT_DOUBLE_EQ(v[2], 2.25);
  SetLeftHandRule();
  EXPECT_EQ(1, +GetCentreOfPressure(5, v));
  EXPECT_DOUBLE_EQ(v[0], -0.375);
  EXPECT_DOUBLE_EQ(v[1], 1.0);
  EXPECT_DOUBLE_EQ(v[2], 0.625);
  SetZUp();
  EXPECT_EQ(1, +GetMomentVector(5, v));
  EXPECT_DOUBLE_EQ(v[0], -0.5);
  EXPECT_DOUBLE_EQ(v[1], 0.25);
  EXPECT_DOUBLE_EQ(v[2], -0.125);
  EXPECT_EQ(1, +GetAnalogChannelVoltage(5, 3, &volts));
  EXPECT_DOUBLE_EQ(volts, -3.75);
  SetRightHandRule();

  EXPECT_EQ(1, +Disconnect());
}

// ---- Frames, with and without prefetching ----------------------------------------

// Pushes frames first..first+maxFrames-1 one by one, after each taking
// frames until the one pushed (or a newer one) is current, until `wanted`
// different frame numbers of these have been seen. Returns the numbers seen
// in order; frames older than `first` (left from an earlier phase or
// connection) are not counted. Stops early when a pushed frame never comes.
std::vector<int32_t> WatchFrames(VCaptureServer& server, int32_t first, int maxFrames,
                                 std::size_t wanted) {
  std::vector<int32_t> seen;
  for (int i = 0; i < maxFrames && seen.size() < wanted; ++i) {
    const int32_t pushed = first + i;
    server.Push(FramePacket(pushed, pushed));
    if (!WaitUntil([pushed] { return GetFrame() && FrameNow() >= pushed; }, 5000ms)) break;
    const int32_t number = FrameNow();
    if (seen.empty() || seen.back() != number) seen.push_back(number);
  }
  return seen;
}

void ExpectAdvancingFrames(const std::vector<int32_t>& seen, int32_t first, int32_t last,
                           std::size_t wanted) {
  EXPECT_GE(seen.size(), wanted) << "frames stopped advancing";
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_GE(seen[i], first);
    EXPECT_LE(seen[i], last);
    if (i > 0) {
      EXPECT_GT(seen[i], seen[i - 1]) << "frame numbers went back";
    }
  }
}

TEST_F(QSEndToEnd, FramesAdvanceWithPrefetchingOffAndOn) {
  VCaptureServer server(On801("127.0.0.7", EServeBehaviour::StreamScript));
  QS_START_OR_SKIP(server);
  ASSERT_EQ(1, +Connect("127.0.0.7"));
  ASSERT_EQ(1, +EnableSegmentData());

  std::vector<int32_t> seen = WatchFrames(server, 1000, 500, 5);
  ExpectAdvancingFrames(seen, 1000, 1499, 5);

  SetPreFetchMode(1);
  seen = WatchFrames(server, 2000, 500, 5);
  ExpectAdvancingFrames(seen, 2000, 2499, 5);
  // The frame taken carries its own content, not only its number.
  double v[3] = {0, 0, 0};
  int32_t occluded = -1;
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], static_cast<double>(seen.back()));

  SetPreFetchMode(0);
  seen = WatchFrames(server, 3000, 500, 5);
  ExpectAdvancingFrames(seen, 3000, 3499, 5);

  EXPECT_EQ(1, +Disconnect());
}

TEST_F(QSEndToEnd, PrefetchingStartedBeforeConnectDeliversAndDisconnectEndsIt) {
  const int baseline = BaselineThreadCount();
  ASSERT_GT(baseline, 0) << "cannot count threads";
  VCaptureServer server(On801("127.0.0.8", EServeBehaviour::StreamScript));
  QS_START_OR_SKIP(server);
  const int withServer = baseline + 1;  // the server's serving thread
  ASSERT_TRUE(WaitForThreadCount(withServer));

  SetPreFetchMode(1);
  EXPECT_TRUE(WaitForThreadCount(withServer + 1)) << "no prefetch thread";
  SetPreFetchMode(1);  // a second start adds no thread
  EXPECT_TRUE(WaitForThreadCount(withServer + 1));

  ASSERT_EQ(1, +Connect("127.0.0.8"));
  ASSERT_TRUE(server.WaitForConnections(1, 5000ms));
  // Prefetch, receiving thread, and the server's reader of this connection.
  EXPECT_TRUE(WaitForThreadCount(withServer + 3));
  std::vector<int32_t> seen = WatchFrames(server, 800, 500, 5);
  ExpectAdvancingFrames(seen, 800, 1299, 5);

  EXPECT_EQ(1, +Disconnect());
  ASSERT_TRUE(server.WaitForClosedConnections(1, 5000ms));
  EXPECT_TRUE(WaitForThreadCount(withServer))
      << "threads left after Disconnect: " << ThreadCount() - withServer;

  // Connected again, prefetching stays off: only the receiving thread and
  // the server's reader are added, and frames are taken directly.
  ASSERT_EQ(1, +Connect("127.0.0.8"));
  ASSERT_TRUE(server.WaitForConnections(2, 5000ms));
  seen = WatchFrames(server, 1500, 500, 5);
  ExpectAdvancingFrames(seen, 1500, 1999, 5);
  EXPECT_EQ(ThreadCount(), withServer + 2) << "prefetching survived Disconnect";

  EXPECT_EQ(1, +Disconnect());
}

// ---- Ends of a connection --------------------------------------------------------

TEST_F(QSEndToEnd, LostConnectionIsLeftThroughDisconnectAndAReconnectDelivers) {
  const int baseline = BaselineThreadCount();
  ASSERT_GT(baseline, 0) << "cannot count threads";
  auto server = std::make_unique<VCaptureServer>(
      On801("127.0.0.9", EServeBehaviour::AnswerEachRequest));
  QS_START_OR_SKIP(*server);
  server->Push(FramePacket(901));
  ASSERT_EQ(1, +Connect("127.0.0.9"));
  ASSERT_TRUE(WaitForFrame(901));
  SetPreFetchMode(1);

  server.reset();  // the server goes away, and the connection with it
  EXPECT_TRUE(WaitUntil([] { return IsConnected() == 0; }, 5000ms));
  EXPECT_EQ(0, +IsConnected());
  EXPECT_EQ(0, +GetFrame());
  int32_t number = 12345;
  EXPECT_EQ(0, +GetFrameNumber(&number));
  EXPECT_EQ(number, 0);
  int32_t count = 12345;
  EXPECT_EQ(0, +GetSubjectCount(&count));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(0, +EnableMarkerData());
  // Nothing is connected; the dead connection is released all the same.
  EXPECT_EQ(0, +Disconnect());
  EXPECT_TRUE(WaitForThreadCount(baseline))
      << "threads left after Disconnect of a lost connection: " << ThreadCount() - baseline;
  EXPECT_EQ(0, +Disconnect());

  VCaptureServer again(On801("127.0.0.9", EServeBehaviour::AnswerEachRequest));
  QS_START_OR_SKIP(again);
  again.Push(FramePacket(950));
  again.Push(FramePacket(951));
  ASSERT_EQ(1, +Connect("127.0.0.9"));
  EXPECT_EQ(1, +IsConnected());
  EXPECT_TRUE(WaitForFrame(951));
  EXPECT_EQ(1, +GetSubjectCount(&count));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(1, +Disconnect());
}

TEST_F(QSEndToEnd, DisconnectSucceedsOnceAndLeavesNeutralAnswersButKeepsTheSettings) {
  VCaptureServer server(On801("127.0.0.10", EServeBehaviour::AnswerEachRequest));
  QS_START_OR_SKIP(server);
  SetYUp();
  SetLeftHandRule();
  server.Push(FramePacket(1001));
  ASSERT_EQ(1, +Connect("127.0.0.10"));
  ASSERT_TRUE(WaitForFrame(1001));
  double v[4] = {0, 0, 0, 0};
  int32_t occluded = -1;
  ASSERT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], -1.0);
  EXPECT_DOUBLE_EQ(v[1], 3.0);
  EXPECT_DOUBLE_EQ(v[2], -2.0);

  EXPECT_EQ(1, +Disconnect());
  EXPECT_EQ(0, +Disconnect());
  EXPECT_TRUE(server.WaitForClosedConnections(1, 5000ms));

  EXPECT_EQ(0, +IsConnected());
  EXPECT_EQ(0, +GetFrame());
  EXPECT_EQ(0, +EnableSegmentData());
  EXPECT_EQ(0, +EnableMarkerData());
  EXPECT_EQ(0, +EnableForcePlateData());
  int32_t value = 12345;
  EXPECT_EQ(0, +GetFrameNumber(&value));
  EXPECT_EQ(value, 0);
  value = 12345;
  EXPECT_EQ(0, +GetSubjectCount(&value));
  EXPECT_EQ(value, 0);
  EXPECT_STREQ(GetSubjectName(1), "");
  value = 12345;
  EXPECT_EQ(0, +GetSegmentCount("Alice", &value));
  EXPECT_EQ(value, 0);
  EXPECT_STREQ(GetSegmentName("Alice", 1), "");
  value = 12345;
  EXPECT_EQ(0, +GetMarkerCount("Alice", &value));
  EXPECT_EQ(value, 0);
  EXPECT_STREQ(GetMarkerName("Alice", 1), "");

  auto fill = [&] {
    for (double& x : v) x = 42.0;
    occluded = 7;
  };
  auto expectZeros = [&](int n) {
    for (int i = 0; i < n; ++i) EXPECT_EQ(v[i], 0.0) << i;
  };
  auto expectNeutral = [&](int n) {
    expectZeros(n);
    EXPECT_EQ(occluded, 0);
  };
  fill();
  EXPECT_EQ(0, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  expectNeutral(3);
  fill();
  EXPECT_EQ(0, +GetGlobalSegmentRotationHelical("Alice", "Thigh", v, &occluded));
  expectNeutral(3);
  fill();
  EXPECT_EQ(0, +GetGlobalSegmentRotationQuaternion("Alice", "Thigh", v, &occluded));
  expectNeutral(4);
  fill();
  EXPECT_EQ(0, +GetGlobalMarkerTranslation("Alice", "LASI", v, &occluded));
  expectNeutral(3);

  value = 12345;
  EXPECT_EQ(0, +GetForcePlateCount(&value));
  EXPECT_EQ(value, 0);
  value = 12345;
  EXPECT_EQ(0, +GetForcePlateID(1, &value));
  EXPECT_EQ(value, 0);
  fill();
  EXPECT_EQ(0, +GetForceVector(5, v));
  expectZeros(3);
  fill();
  EXPECT_EQ(0, +GetMomentVector(5, v));
  expectZeros(3);
  fill();
  EXPECT_EQ(0, +GetCentreOfPressure(5, v));
  expectZeros(3);
  value = 12345;
  EXPECT_EQ(0, +GetNumberOfAnalogChannels(5, &value));
  EXPECT_EQ(value, 0);
  double volts = 42.0;
  EXPECT_EQ(0, +GetAnalogChannelVoltage(5, 1, &volts));
  EXPECT_EQ(volts, 0.0);

  // Connected again: the frame of the earlier connection answers until a
  // newer one is taken, and the settings made before still apply.
  server.Push(FramePacket(1002, 8.0));
  ASSERT_EQ(1, +Connect("127.0.0.10"));
  EXPECT_EQ(1001, FrameNow());
  ASSERT_TRUE(WaitForFrame(1002));
  ASSERT_EQ(1, +GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded));
  EXPECT_DOUBLE_EQ(v[0], -8.0);
  EXPECT_DOUBLE_EQ(v[1], 3.0);
  EXPECT_DOUBLE_EQ(v[2], -2.0);
  EXPECT_EQ(1, +Disconnect());
}

TEST_F(QSEndToEnd, DisconnectFromASilentServerReturnsPromptly) {
  VCaptureServer server(On801("127.0.0.11", EServeBehaviour::SilentAfterHandshake));
  QS_START_OR_SKIP(server);
  SetPreFetchMode(1);
  ASSERT_EQ(1, +Connect("127.0.0.11"));
  // The receiving thread has sent its request and now waits for a packet
  // that never comes.
  ASSERT_TRUE(server.WaitForRequests(1, 5000ms));
  EXPECT_EQ(1, +GetFrame());
  EXPECT_EQ(1, +IsConnected());

  const auto start = Clock::now();
  EXPECT_EQ(1, +Disconnect());
  const auto took = Clock::now() - start;
  EXPECT_LT(took, 2s) << "Disconnect took "
                      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                      << " ms";
  EXPECT_EQ(0, +IsConnected());
  EXPECT_TRUE(server.WaitForClosedConnections(1, 5000ms));
}

// ---- Hosts that call from several threads at once -------------------------------

// Four host threads against a stream of frames: one keeps taking frames, one
// switches prefetching, all of them query. Every answer must be one that every
// frame of the stream gives, and a name returned to a thread must keep its
// text until that thread calls the same getter again, whatever the other
// threads ask meanwhile.
TEST_F(QSEndToEnd, HostThreadsCallingAtOnceGetConsistentAnswersAndKeepTheirNames) {
  VCaptureServer server(On801("127.0.0.12", EServeBehaviour::StreamScript));
  QS_START_OR_SKIP(server);
  int32_t next = 1;
  // Keeps the server a few frames ahead of the client, so that frames keep
  // arriving while the host threads run.
  auto keepStreaming = [&server, &next] {
    if (server.ScriptLeft() >= 20) return;
    for (int k = 0; k < 50; ++k, ++next) server.Push(FramePacket(next, next));
  };
  keepStreaming();
  ASSERT_EQ(1, +Connect("127.0.0.12"));
  ASSERT_TRUE(WaitUntil([] {
    GetFrame();
    return FrameNow() > 0;
  }));

  constexpr int Turns = 1000;
  std::atomic<int> faults{0};
  std::atomic<int> running{4};
  auto host = [&faults, &running](int thread) {
    const char* const segments[] = {"Pelvis", "Thigh"};
    const char* const markers[] = {"LASI", "RASI"};
    const int mine = thread % 2;
    for (int turn = 0; turn < Turns; ++turn) {
      if (thread == 0) GetFrame();
      if (thread == 1 && turn % 50 == 0) SetPreFetchMode(turn % 100 == 0 ? 1 : 0);
      const char* segment = GetSegmentName("Alice", mine + 1);
      const char* marker = GetMarkerName("Alice", mine + 1);
      double v[3] = {0, 0, 0};
      int32_t occluded = -1;
      if (!GetGlobalSegmentTranslation("Alice", "Thigh", v, &occluded) || v[0] != 10.0 ||
          v[1] != -20.0 || v[2] != 30.5 || occluded != 0)
        ++faults;
      if (!GetGlobalMarkerTranslation("Alice", "LASI", v, &occluded) || v[0] != 100.0 || v[2] != 300.0)
        ++faults;
      int32_t id = 0;
      int32_t count = 0;
      if (!GetForcePlateCount(&count) || count != 2 || !GetForcePlateID(1, &id) || id != 5) ++faults;
      if (!GetForceVector(5, v) || v[0] != 1.5 || v[1] != -2.25 || v[2] != 3.75) ++faults;
      double volts = 0.0;
      if (!GetAnalogChannelVoltage(5, 2, &volts) || volts != 2.5) ++faults;
      if (std::strcmp(segment, segments[mine]) != 0 || std::strcmp(marker, markers[mine]) != 0) ++faults;
    }
    --running;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(host, t);
  while (running > 0 && next < 1000000) {
    keepStreaming();
    std::this_thread::yield();
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_GT(FrameNow(), 1) << "no frame arrived while the threads ran";
  EXPECT_EQ(faults.load(), 0);
  SetPreFetchMode(0);
  EXPECT_EQ(1, +Disconnect());
}

}  // namespace
