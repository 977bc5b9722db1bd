// The exported C functions, linked together with the facade into this test
// program: the frame client they create comes from the factory below (it
// stands in for the frame client library), so the shims can be checked
// against a mock: argument conversion, one-byte booleans, the name buffers,
// the occluded integers and null pointers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "QS.h"
#include "facade_test_support.h"

using ::testing::NiceMock;

namespace {

// Every frame client the exports create; all are driven by one source.
FrameSource* ActiveSource = nullptr;
std::vector<std::unique_ptr<NiceMock<MockQSClient>>>& CreatedClients() {
  static std::vector<std::unique_ptr<NiceMock<MockQSClient>>> clients;
  return clients;
}

}  // namespace

IQSClient* CreateFrameClient() {
  CreatedClients().push_back(std::make_unique<NiceMock<MockQSClient>>());
  if (ActiveSource) ActiveSource->Drive(*CreatedClients().back());
  return CreatedClients().back().get();
}

std::shared_ptr<IQSClient> MakeSharedFrameClient(IQSClient* client) {
  return std::shared_ptr<IQSClient>(client, [](IQSClient* c) { c->Destroy(); });
}

namespace {

VFrameRecord ExportFrame() {
  VFrameRecord frame = MakeFrame(77);
  EditScene(frame).Subjects.push_back(
      MakeSubject(1, "Alice", {{10, "Pelvis"}, {11, "Hidden"}}, {{50, "LASI"}, {51, "RASI"}}));
  EditScene(frame).Subjects.push_back(MakeSubject(2, "Bob", {{20, "Root"}}, {}));
  EditData(frame).MarkerPositions.push_back(MakeMarkerPosition(1, 50, {1, 2, 3}));
  LumoraQSStream::VSegmentPoses poses;
  poses.SubjectID = 1;
  poses.Poses.push_back(MakePose(10, {4, 5, 6}, {1, 0, 0, 0, 1, 0, 0, 0, 1}));
  EditData(frame).GlobalSegmentPoses.push_back(poses);
  EditScene(frame).Devices.push_back(MakeDevice(7));
  EditScene(frame).DeviceOutputs.push_back(MakeOutput(7, 1, {"Fx", "Fy", "Fz"}));
  EditScene(frame).DeviceOutputs.push_back(MakeOutput(7, 2, {"Mx", "My", "Mz"}));
  EditScene(frame).DeviceOutputs.push_back(MakeOutput(7, 3, {"Cx", "Cy", "Cz"}));
  EditScene(frame).DeviceOutputs.push_back(MakeOutput(7, 4, {"V1", "V2"}));
  EditData(frame).Forces.push_back(MakeData(7, 1, {1, 2, 3}));
  EditData(frame).Moments.push_back(MakeData(7, 2, {4, 5, 6}));
  EditData(frame).CentresOfPressure.push_back(MakeData(7, 3, {7, 8, 9}));
  EditData(frame).Voltages.push_back(MakeData(7, 4, {0.25f, 0.75f}));
  return frame;
}

class Exports : public ::testing::Test {
 protected:
  void SetUp() override { ActiveSource = &Source; }
  void TearDown() override {
    // The library's facade outlives each test: leave it unconnected, with
    // prefetching off and default axes.
    SetPreFetchMode(0);
    Disconnect();
    SetRightHandRule();
    SetZUp();
    ActiveSource = nullptr;
    CreatedClients().clear();  // the facade holds none of them any more
  }
  void ConnectWithFrame() {
    ASSERT_EQ(Connect("capture-host"), 1);
    Source.Push(ExportFrame());
    ASSERT_EQ(GetFrame(), 1);
  }

  FrameSource Source;
};

TEST_F(Exports, NullOrEmptyHostIsRefusedWithoutAnAttempt) {
  EXPECT_EQ(Connect(nullptr), 0);
  EXPECT_EQ(Connect(""), 0);
  EXPECT_EQ(IsConnected(), 0);
  EXPECT_TRUE(Source.Hosts.empty());
  EXPECT_EQ(Source.DestroyCalls, 2);  // both frame clients were released at once
}

TEST_F(Exports, ConnectPassesHostAndPort801AndReturnsOneByteBooleans) {
  const QSBool connected = Connect("capture-host");
  EXPECT_EQ(connected, 1);
  ASSERT_EQ(Source.Hosts.size(), 1u);
  EXPECT_EQ(Source.Hosts[0], "capture-host");
  EXPECT_EQ(Source.Ports[0], 801);
  EXPECT_EQ(IsConnected(), 1);
  EXPECT_EQ(Connect("capture-host"), 0);  // already connected
  EXPECT_EQ(Source.Hosts.size(), 1u);
  EXPECT_EQ(Source.DestroyCalls, 1);  // the refused second client
  EXPECT_EQ(IsConnected(), 1);
  EXPECT_EQ(EnableSegmentData(), 1);
  EXPECT_EQ(Disconnect(), 1);
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_EQ(Source.DestroyCalls, 2);
  static_assert(sizeof(QSBool) == 1, "one-byte boolean");
}

TEST_F(Exports, NameBuffersBelongToTheirGetter) {
  ConnectWithFrame();
  const char* segment = GetSegmentName("Alice", 1);
  ASSERT_NE(segment, nullptr);
  EXPECT_STREQ(segment, "Pelvis");
  const char* marker = GetMarkerName("Alice", 2);
  EXPECT_STREQ(marker, "RASI");
  const char* subject = GetSubjectName(2);
  EXPECT_STREQ(subject, "Bob");
  EXPECT_STREQ(segment, "Pelvis");  // untouched by the other getters

  const char* again = GetSegmentName("Alice", 2);
  EXPECT_EQ(again, segment);  // the same buffer
  EXPECT_STREQ(segment, "Hidden");
  EXPECT_STREQ(marker, "RASI");
  EXPECT_STREQ(subject, "Bob");

  const char* failed = GetSegmentName("Alice", 3);
  ASSERT_NE(failed, nullptr);
  EXPECT_STREQ(failed, "");
  EXPECT_STREQ(GetSubjectName(0), "");
  EXPECT_STREQ(GetSubjectName(-1), "");
  EXPECT_STREQ(GetMarkerName(nullptr, 1), "");
  EXPECT_STREQ(GetSubjectName(1), "Alice");
}

TEST_F(Exports, NullNamesAreEmptyNames) {
  ConnectWithFrame();
  int32_t n = 99;
  EXPECT_EQ(GetSegmentCount(nullptr, &n), 0);
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_EQ(GetMarkerCount(nullptr, &n), 0);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(GetSegmentCount("Alice", &n), 1);
  EXPECT_EQ(n, 2);
  double v[3] = {7, 7, 7};
  int32_t occluded = 7;
  EXPECT_EQ(GetGlobalSegmentTranslation(nullptr, "Pelvis", v, &occluded), 0);
  EXPECT_EQ(occluded, 0);
  EXPECT_EQ(v[0], 0.0);
  occluded = 7;
  EXPECT_EQ(GetGlobalMarkerTranslation("Alice", nullptr, v, &occluded), 0);
  EXPECT_EQ(occluded, 0);
}

TEST_F(Exports, OccludedIsWrittenAsZeroOrOneOnEveryOutcome) {
  double v[3] = {7, 7, 7};
  double q[4] = {7, 7, 7, 7};
  int32_t occluded = 7;
  EXPECT_EQ(GetGlobalSegmentRotationQuaternion("Alice", "Pelvis", q, &occluded), 0);
  EXPECT_EQ(occluded, 0);  // unconnected
  EXPECT_EQ(q[3], 0.0);

  ConnectWithFrame();
  occluded = 7;
  EXPECT_EQ(GetGlobalSegmentTranslation("Alice", "Pelvis", v, &occluded), 1);
  EXPECT_EQ(occluded, 0);
  EXPECT_EQ(v[0], 4.0);
  EXPECT_EQ(v[2], 6.0);
  occluded = 7;
  EXPECT_EQ(GetGlobalSegmentRotationQuaternion("Alice", "Pelvis", q, &occluded), 1);
  EXPECT_EQ(occluded, 0);
  EXPECT_EQ(q[3], 1.0);
  occluded = 7;
  EXPECT_EQ(GetGlobalSegmentRotationHelical("Alice", "Hidden", v, &occluded), 1);
  EXPECT_EQ(occluded, 1);
  EXPECT_EQ(v[0], 0.0);
  occluded = 7;
  EXPECT_EQ(GetGlobalMarkerTranslation("Alice", "RASI", v, &occluded), 1);
  EXPECT_EQ(occluded, 1);
  occluded = 7;
  EXPECT_EQ(GetGlobalMarkerTranslation("Alice", "Nope", v, &occluded), 0);
  EXPECT_EQ(occluded, 0);
  occluded = 7;
  SetYUp();
  SetLeftHandRule();
  EXPECT_EQ(GetGlobalMarkerTranslation("Alice", "LASI", v, &occluded), 1);
  EXPECT_EQ(occluded, 0);
  EXPECT_EQ(v[0], -1.0);
  EXPECT_EQ(v[1], 3.0);
  EXPECT_EQ(v[2], -2.0);
}

TEST_F(Exports, CountsVectorsAndVoltages) {
  ConnectWithFrame();
  int32_t n = 0;
  EXPECT_EQ(GetFrameNumber(&n), 1);
  EXPECT_EQ(n, 77);
  EXPECT_EQ(GetSubjectCount(&n), 1);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(GetForcePlateCount(&n), 1);
  EXPECT_EQ(n, 1);
  int32_t id = 0;
  EXPECT_EQ(GetForcePlateID(1, &id), 1);
  EXPECT_EQ(id, 7);
  id = 99;
  EXPECT_EQ(GetForcePlateID(-1, &id), 0);
  EXPECT_EQ(id, 0);
  double v[3] = {0, 0, 0};
  EXPECT_EQ(GetForceVector(7, v), 1);
  EXPECT_EQ(v[1], 2.0);
  EXPECT_EQ(GetMomentVector(7, v), 1);
  EXPECT_EQ(v[1], 5.0);
  EXPECT_EQ(GetCentreOfPressure(7, v), 1);
  EXPECT_EQ(v[1], 8.0);
  EXPECT_EQ(GetNumberOfAnalogChannels(7, &n), 1);
  EXPECT_EQ(n, 2);
  double voltage = 0.0;
  EXPECT_EQ(GetAnalogChannelVoltage(7, 2, &voltage), 1);
  EXPECT_EQ(voltage, 0.75);
  voltage = 7.0;
  EXPECT_EQ(GetAnalogChannelVoltage(7, -1, &voltage), 0);
  EXPECT_EQ(voltage, 0.0);
}

TEST_F(Exports, NullOutputPointersAreTolerated) {
  ConnectWithFrame();
  EXPECT_EQ(GetFrameNumber(nullptr), 1);
  EXPECT_EQ(GetGlobalSegmentTranslation("Alice", "Pelvis", nullptr, nullptr), 1);
  EXPECT_EQ(GetForceVector(7, nullptr), 1);
  EXPECT_EQ(GetAnalogChannelVoltage(7, 1, nullptr), 1);
}

TEST_F(Exports, PrefetchModeTakesAnyNonZeroByte) {
  ConnectWithFrame();
  SetPreFetchMode(2);
  Source.Push(MakeFrame(78));
  int32_t n = 0;
  EXPECT_TRUE(WaitUntil([&] {
    GetFrame();
    return GetFrameNumber(&n) == 1 && n == 78;
  }));
  SetPreFetchMode(0);
  EXPECT_GE(Source.OtherCallerThreads(), 1u);
}

TEST_F(Exports, LostConnectionIsLeftThroughDisconnect) {
  ConnectWithFrame();
  Source.Connected = false;
  EXPECT_EQ(IsConnected(), 0);
  EXPECT_EQ(Connect("capture-host"), 0);
  EXPECT_EQ(Disconnect(), 0);
  EXPECT_EQ(Connect("capture-host"), 1);
  EXPECT_EQ(IsConnected(), 1);
}

}  // namespace
