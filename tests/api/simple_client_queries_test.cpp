// Facade queries on a fetched frame: counts and names, pose queries with
// the four axis conventions, force plates and analog channels, and the
// order in which the checks run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "api/simple_client.h"
#include "facade_test_support.h"

using ::testing::_;
using ::testing::NiceMock;

namespace {

constexpr double Pi = 3.14159265358979323846;

// A facade connected to a mock frame client and holding `frame`.
class FacadeWithFrame : public ::testing::Test {
 protected:
  void Load(const VFrameRecord& frame) {
    Source.Drive(Mock);
    ASSERT_TRUE(Facade.Connect(Share(Mock), "host"));
    Source.Push(frame);
    ASSERT_TRUE(Facade.GetFrame());
    int32_t n = 0;
    ASSERT_TRUE(Facade.GetFrameNumber(n));
    ASSERT_EQ(n, frame.FrameNumber);
  }

  FrameSource Source;
  NiceMock<MockQSClient> Mock;
  VSimpleQSClient Facade;
};

// --- Counts and names ----------------------------------------------------------

VFrameRecord SubjectsFrame() {
  VFrameRecord frame = MakeFrame(100);
  EditScene(frame).Subjects.push_back(
      MakeSubject(1, "Alice", {{10, "Pelvis"}, {11, "Thigh"}}, {{50, "LASI"}}));
  EditScene(frame).Subjects.push_back(MakeSubject(2, "Bob", {{20, "Root"}}, {}));
  // Same name as the first subject, with longer lists.
  EditScene(frame).Subjects.push_back(MakeSubject(
      3, "Alice", {{30, "Head"}, {31, "Neck"}, {32, "Chest"}}, {{60, "RASI"}, {61, "LKNE"}}));
  EditScene(frame).Subjects.push_back(MakeSubject(4, "", {{40, "Unnamed"}}, {}));
  return frame;
}

TEST_F(FacadeWithFrame, SubjectCountAndNamesAreOneBased) {
  Load(SubjectsFrame());
  int32_t n = 0;
  EXPECT_TRUE(Facade.GetSubjectCount(n));
  EXPECT_EQ(n, 4);

  std::string name = "stale";
  EXPECT_FALSE(Facade.GetSubjectName(0, name));
  EXPECT_EQ(name, "");
  EXPECT_TRUE(Facade.GetSubjectName(1, name));
  EXPECT_EQ(name, "Alice");
  EXPECT_TRUE(Facade.GetSubjectName(2, name));
  EXPECT_EQ(name, "Bob");
  EXPECT_TRUE(Facade.GetSubjectName(4, name));
  EXPECT_EQ(name, "");
  name = "stale";
  EXPECT_FALSE(Facade.GetSubjectName(5, name));
  EXPECT_EQ(name, "");
  name = "stale";
  EXPECT_FALSE(Facade.GetSubjectName(0xFFFFFFFFu, name));  // a negative index from C
  EXPECT_EQ(name, "");
}

TEST_F(FacadeWithFrame, EmptySubjectListIsAValidCount) {
  Load(MakeFrame(1));
  int32_t n = 99;
  EXPECT_TRUE(Facade.GetSubjectCount(n));
  EXPECT_EQ(n, 0);
}

TEST_F(FacadeWithFrame, CountsStopAtTheFirstSubjectOfThatName) {
  Load(SubjectsFrame());
  int32_t n = 0;
  EXPECT_TRUE(Facade.GetSegmentCount("Alice", n));
  EXPECT_EQ(n, 2);
  EXPECT_TRUE(Facade.GetMarkerCount("Alice", n));
  EXPECT_EQ(n, 1);
  EXPECT_TRUE(Facade.GetMarkerCount("Bob", n));
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_FALSE(Facade.GetSegmentCount("Carol", n));
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_FALSE(Facade.GetSegmentCount("alice", n));  // exact comparison
  EXPECT_EQ(n, 0);
  n = 99;
  // An empty name is refused outright, although a subject has that name.
  EXPECT_FALSE(Facade.GetSegmentCount("", n));
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_FALSE(Facade.GetMarkerCount("", n));
  EXPECT_EQ(n, 0);
}

TEST_F(FacadeWithFrame, NamesSkipSubjectsWhoseListIsTooShort) {
  Load(SubjectsFrame());
  std::string name;
  EXPECT_TRUE(Facade.GetSegmentName("Alice", 1, name));
  EXPECT_EQ(name, "Pelvis");
  EXPECT_TRUE(Facade.GetSegmentName("Alice", 2, name));
  EXPECT_EQ(name, "Thigh");
  EXPECT_TRUE(Facade.GetSegmentName("Alice", 3, name));  // only the second Alice has 3
  EXPECT_EQ(name, "Chest");
  name = "stale";
  EXPECT_FALSE(Facade.GetSegmentName("Alice", 4, name));
  EXPECT_EQ(name, "");
  name = "stale";
  EXPECT_FALSE(Facade.GetSegmentName("Alice", 0, name));
  EXPECT_EQ(name, "");

  EXPECT_TRUE(Facade.GetMarkerName("Alice", 1, name));
  EXPECT_EQ(name, "LASI");
  EXPECT_TRUE(Facade.GetMarkerName("Alice", 2, name));
  EXPECT_EQ(name, "LKNE");
  EXPECT_FALSE(Facade.GetMarkerName("Bob", 1, name));
  EXPECT_EQ(name, "");

  // The name getters have no empty-name check: "" finds the unnamed subject.
  EXPECT_TRUE(Facade.GetSegmentName("", 1, name));
  EXPECT_EQ(name, "Unnamed");
}

// Checks that precede the connection check must not reach the frame client.
TEST_F(FacadeWithFrame, IndexAndNameChecksComeBeforeTheConnectionCheck) {
  Load(SubjectsFrame());
  EXPECT_CALL(Mock, IsConnected()).Times(0);
  std::string name;
  int32_t n = 0;
  EXPECT_FALSE(Facade.GetSubjectName(0, name));
  EXPECT_FALSE(Facade.GetSegmentName("Alice", 0, name));
  EXPECT_FALSE(Facade.GetMarkerName("Alice", 0, name));
  EXPECT_FALSE(Facade.GetSegmentCount("", n));
  EXPECT_FALSE(Facade.GetMarkerCount("", n));
  EXPECT_FALSE(Facade.GetForcePlateID(0, n));
}

// --- Poses ------------------------------------------------------------------------

const std::array<double, 9> Identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
const std::array<double, 9> QuarterTurnZ = {0, -1, 0, 1, 0, 0, 0, 0, 1};

VFrameRecord PoseFrame() {
  VFrameRecord frame = MakeFrame(200);
  EditScene(frame).Subjects.push_back(
      MakeSubject(1, "Alice", {{10, "Pelvis"}, {11, "Hidden"}}, {{50, "LASI"}, {51, "Gone"}}));
  EditScene(frame).Subjects.push_back(MakeSubject(2, "Twin", {{20, "Arm"}}, {}));
  EditScene(frame).Subjects.push_back(MakeSubject(3, "Twin", {{21, "Leg"}}, {}));
  EditScene(frame).Subjects.push_back(MakeSubject(4, "Zero", {}, {{70, "Origin"}}));

  EditData(frame).MarkerPositions.push_back(MakeMarkerPosition(1, 50, {1, 2, 3}));
  EditData(frame).MarkerPositions.push_back(MakeMarkerPosition(1, 50, {9, 9, 9}));  // later duplicate
  EditData(frame).MarkerPositions.push_back(MakeMarkerPosition(4, 70, {0, 0, 0}));

  LumoraQSStream::VSegmentPoses alice;
  alice.SubjectID = 1;
  alice.Poses.push_back(MakePose(10, {4, 5, 6}, QuarterTurnZ));
  EditData(frame).GlobalSegmentPoses.push_back(alice);
  // A first group of subject 3 without the segment, then one with it.
  LumoraQSStream::VSegmentPoses legEmpty;
  legEmpty.SubjectID = 3;
  legEmpty.Poses.push_back(MakePose(99, {0, 0, 0}, Identity));
  EditData(frame).GlobalSegmentPoses.push_back(legEmpty);
  LumoraQSStream::VSegmentPoses leg;
  leg.SubjectID = 3;
  leg.Poses.push_back(MakePose(21, {7, 8, 9}, Identity));
  EditData(frame).GlobalSegmentPoses.push_back(leg);
  return frame;
}

TEST_F(FacadeWithFrame, MarkerTranslationInTheFourAxisConventions) {
  Load(PoseFrame());
  std::array<double, 3> v{};
  bool occluded = true;
  EXPECT_TRUE(Facade.GetGlobalMarkerTranslation("Alice", "LASI", v, occluded));
  EXPECT_FALSE(occluded);
  EXPECT_EQ(v, (std::array<double, 3>{1, 2, 3}));
  Facade.SetYUp();
  EXPECT_TRUE(Facade.GetGlobalMarkerTranslation("Alice", "LASI", v, occluded));
  EXPECT_EQ(v, (std::array<double, 3>{1, 3, -2}));
  Facade.SetLeftHandRule();
  EXPECT_TRUE(Facade.GetGlobalMarkerTranslation("Alice", "LASI", v, occluded));
  EXPECT_EQ(v, (std::array<double, 3>{-1, 3, -2}));
  Facade.SetZUp();
  EXPECT_TRUE(Facade.GetGlobalMarkerTranslation("Alice", "LASI", v, occluded));
  EXPECT_EQ(v, (std::array<double, 3>{-1, 2, 3}));
  Facade.SetRightHandRule();
  EXPECT_TRUE(Facade.GetGlobalMarkerTranslation("Alice", "LASI", v, occluded));
  EXPECT_EQ(v, (std::array<double, 3>{1, 2, 3}));
}

TEST_F(FacadeWithFrame, AxisConversionFlipsTheSignOfZero) {
  Load(PoseFrame());
  std::array<double, 3> v{};
  bool occluded = true;
  ASSERT_TRUE(Facade.GetGlobalMarkerTranslation("Zero", "Origin", v, occluded));
  EXPECT_FALSE(std::signbit(v[0]) || std::signbit(v[1]) || std::signbit(v[2]));

  Facade.SetLeftHandRule();
  Facade.SetYUp();
  ASSERT_TRUE(Facade.GetGlobalMarkerTranslation("Zero", "Origin", v, occluded));
  EXPECT_EQ(v[0], 0.0);
  EXPECT_TRUE(std::signbit(v[0]));   // -x
  EXPECT_FALSE(std::signbit(v[1]));  // z
  EXPECT_TRUE(std::signbit(v[2]));   // -y
}

TEST_F(FacadeWithFrame, SegmentTranslationAndRotations) {
  Load(PoseFrame());
  std::array<double, 3> v{};
  std::array<double, 4> q{};
  bool occluded = true;
  EXPECT_TRUE(Facade.GetGlobalSegmentTranslation("Alice", "Pelvis", v, occluded));
  EXPECT_FALSE(occluded);
  EXPECT_EQ(v, (std::array<double, 3>{4, 5, 6}));

  const double h = std::sqrt(0.5);
  EXPECT_TRUE(Facade.GetGlobalSegmentRotationQuaternion("Alice", "Pelvis", q, occluded));
  EXPECT_NEAR(q[0], 0.0, 1e-12);
  EXPECT_NEAR(q[1], 0.0, 1e-12);
  EXPECT_NEAR(q[2], h, 1e-12);
  EXPECT_NEAR(q[3], h, 1e-12);
  EXPECT_TRUE(Facade.GetGlobalSegmentRotationHelical("Alice", "Pelvis", v, occluded));
  EXPECT_NEAR(v[0], 0.0, 1e-12);
  EXPECT_NEAR(v[1], 0.0, 1e-12);
  EXPECT_NEAR(v[2], Pi / 2, 1e-12);

  // Rotations ignore the axis convention.
  Facade.SetLeftHandRule();
  Facade.SetYUp();
  std::array<double, 4> q2{};
  std::array<double, 3> v2{};
  EXPECT_TRUE(Facade.GetGlobalSegmentRotationQuaternion("Alice", "Pelvis", q2, occluded));
  EXPECT_EQ(q2, q);
  EXPECT_TRUE(Facade.GetGlobalSegmentRotationHelical("Alice", "Pelvis", v2, occluded));
  EXPECT_EQ(v2, v);
  // Translations follow it.
  EXPECT_TRUE(Facade.GetGlobalSegmentTranslation("Alice", "Pelvis", v, occluded));
  EXPECT_EQ(v, (std::array<double, 3>{-4, 6, -5}));
}

TEST_F(FacadeWithFrame, FirstMatchesWinAcrossSubjectsGroupsAndPositions) {
  Load(PoseFrame());
  std::array<double, 3> v{};
  bool occluded = true;
  // Only the second "Twin" has "Leg"; its first pose group lacks it.
  EXPECT_TRUE(Facade.GetGlobalSegmentTranslation("Twin", "Leg", v, occluded));
  EXPECT_FALSE(occluded);
  EXPECT_EQ(v, (std::array<double, 3>{7, 8, 9}));
  // The first of two positions for the same marker.
  EXPECT_TRUE(Facade.GetGlobalMarkerTranslation("Alice", "LASI", v, occluded));
  EXPECT_EQ(v, (std::array<double, 3>{1, 2, 3}));
}

TEST_F(FacadeWithFrame, ResolvedNamesWithoutDataAreOccluded) {
  Load(PoseFrame());
  std::array<double, 3> v = {7, 7, 7};
  std::array<double, 4> q = {7, 7, 7, 7};
  bool occluded = false;
  EXPECT_TRUE(Facade.GetGlobalSegmentTranslation("Alice", "Hidden", v, occluded));
  EXPECT_TRUE(occluded);
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  occluded = false;
  EXPECT_TRUE(Facade.GetGlobalSegmentRotationQuaternion("Alice", "Hidden", q, occluded));
  EXPECT_TRUE(occluded);
  EXPECT_EQ(q, (std::array<double, 4>{0, 0, 0, 0}));
  occluded = false;
  v = {7, 7, 7};
  EXPECT_TRUE(Facade.GetGlobalSegmentRotationHelical("Twin", "Arm", v, occluded));
  EXPECT_TRUE(occluded);
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  occluded = false;
  v = {7, 7, 7};
  EXPECT_TRUE(Facade.GetGlobalMarkerTranslation("Alice", "Gone", v, occluded));
  EXPECT_TRUE(occluded);
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
}

TEST_F(FacadeWithFrame, UnresolvedNamesFailWithoutOcclusion) {
  Load(PoseFrame());
  std::array<double, 3> v = {7, 7, 7};
  bool occluded = true;
  EXPECT_FALSE(Facade.GetGlobalSegmentTranslation("Alice", "Nope", v, occluded));
  EXPECT_FALSE(occluded);
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  occluded = true;
  EXPECT_FALSE(Facade.GetGlobalSegmentTranslation("", "Pelvis", v, occluded));
  EXPECT_FALSE(occluded);
  occluded = true;
  EXPECT_FALSE(Facade.GetGlobalSegmentTranslation("Alice", "", v, occluded));
  EXPECT_FALSE(occluded);
  occluded = true;
  EXPECT_FALSE(Facade.GetGlobalMarkerTranslation("Alice", "Pelvis", v, occluded));  // a segment
  EXPECT_FALSE(occluded);
  occluded = true;
  EXPECT_FALSE(Facade.GetGlobalMarkerTranslation("Bob", "LASI", v, occluded));
  EXPECT_FALSE(occluded);
}

// --- Force plates ---------------------------------------------------------------------

// Device 7: a plate with force, moment, centre-of-pressure outputs and a
// four-channel analog output. Device 8: a plate with mixed letters and a
// six-channel analog output listed before its triples. Device 9: only two
// triples. Device 10: lower-case names. Device 11: a plate whose analog
// output has no names. Device 12: a plate without analog output.
VFrameRecord PlateFrame() {
  VFrameRecord frame = MakeFrame(300);
  for (int32_t id : {9, 7, 10, 8, 11, 12}) EditScene(frame).Devices.push_back(MakeDevice(id));
  auto& out = EditScene(frame).DeviceOutputs;
  out.push_back(MakeOutput(7, 1, {"Fx", "Fy", "Fz"}));
  out.push_back(MakeOutput(7, 2, {"Mx", "My", "Mz"}));
  out.push_back(MakeOutput(7, 3, {"Cx", "Cy", "Cz"}));
  out.push_back(MakeOutput(7, 4, {"V1", "V2", "V3", "V4"}));
  out.push_back(MakeOutput(8, 5, {"A1", "A2", "A3", "A4", "A5", "A6"}));
  out.push_back(MakeOutput(8, 6, {"Fx", "My", "Cz"}));
  out.push_back(MakeOutput(8, 7, {"Mx", "Cy", "Fz"}));
  out.push_back(MakeOutput(8, 8, {"Cx", "Fy", "Mz"}));
  out.push_back(MakeOutput(9, 9, {"Fx", "Fy", "Fz"}));
  out.push_back(MakeOutput(9, 10, {"Mx", "My", "Mz"}));
  out.push_back(MakeOutput(9, 11, {"V1"}));
  out.push_back(MakeOutput(10, 12, {"fx", "fy", "fz"}));
  out.push_back(MakeOutput(10, 13, {"mx", "my", "mz"}));
  out.push_back(MakeOutput(10, 14, {"cx", "cy", "cz"}));
  out.push_back(MakeOutput(11, 15, {"Fx", "Fy", "Fz"}));
  out.push_back(MakeOutput(11, 16, {"Mx", "My", "Mz"}));
  out.push_back(MakeOutput(11, 17, {"Cx", "Cy", "Cz"}));
  out.push_back(MakeOutput(11, 18, {}));
  out.push_back(MakeOutput(12, 19, {"Fx", "Fy", "Fz"}));
  out.push_back(MakeOutput(12, 20, {"Mx", "My", "Mz"}));
  out.push_back(MakeOutput(12, 21, {"Cx", "Cy", "Cz"}));

  EditData(frame).Forces.push_back(MakeData(9, 9, RampSamples(30)));   // not a plate
  EditData(frame).Forces.push_back(MakeData(7, 99, RampSamples(30)));  // OutputID not looked at
  EditData(frame).Forces.push_back(MakeData(7, 1, {100, 200, 300}));   // later entry ignored
  EditData(frame).Forces.push_back(MakeData(8, 6, {1, 2}));            // N = 0
  EditData(frame).Moments.push_back(MakeData(7, 2, {1, 2, 3}));        // N = 1
  // No centre of pressure for 7.
  // Voltage entries are found by OutputID; their DeviceID is not looked at.
  EditData(frame).Voltages.push_back(MakeData(0, 4, RampSamples(40)));
  EditData(frame).Voltages.push_back(MakeData(8, 5, RampSamples(5)));  // 6 channels, N = 0
  EditData(frame).Voltages.push_back(MakeData(11, 18, RampSamples(10)));
  return frame;
}

TEST_F(FacadeWithFrame, PlatesAreRecognisedByTheirComponentNames) {
  Load(PlateFrame());
  int32_t n = 0;
  EXPECT_TRUE(Facade.GetForcePlateCount(n));
  EXPECT_EQ(n, 4);  // 7, 8, 11, 12; not 9 (two triples), not 10 (lower case)
  int32_t id = 99;
  EXPECT_TRUE(Facade.GetForcePlateID(1, id));
  EXPECT_EQ(id, 7);
  EXPECT_TRUE(Facade.GetForcePlateID(2, id));
  EXPECT_EQ(id, 8);
  EXPECT_TRUE(Facade.GetForcePlateID(3, id));
  EXPECT_EQ(id, 11);
  EXPECT_TRUE(Facade.GetForcePlateID(4, id));
  EXPECT_EQ(id, 12);
  id = 99;
  EXPECT_FALSE(Facade.GetForcePlateID(5, id));
  EXPECT_EQ(id, 0);
  id = 99;
  EXPECT_FALSE(Facade.GetForcePlateID(0, id));
  EXPECT_EQ(id, 0);

  std::array<double, 3> v = {7, 7, 7};
  EXPECT_FALSE(Facade.GetForceVector(9, v));  // two triples are no plate
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  EXPECT_FALSE(Facade.GetNumberOfAnalogChannels(10, n));
  EXPECT_EQ(n, 0);
}

TEST_F(FacadeWithFrame, FourPlateOutputsAreNoPlate) {
  VFrameRecord frame = PlateFrame();
  EditScene(frame).DeviceOutputs.push_back(MakeOutput(7, 22, {"Fx", "Fy", "Fz"}));
  Load(frame);
  int32_t n = 0;
  EXPECT_TRUE(Facade.GetForcePlateCount(n));
  EXPECT_EQ(n, 3);
  std::array<double, 3> v{};
  EXPECT_FALSE(Facade.GetForceVector(7, v));
}

TEST_F(FacadeWithFrame, VectorsTakeTheFirstSampleOfEachComponent) {
  Load(PlateFrame());
  std::array<double, 3> v{};
  // 30 samples: N = 10, samples 0, 10 and 20.
  EXPECT_TRUE(Facade.GetForceVector(7, v));
  EXPECT_EQ(v, (std::array<double, 3>{0.5, 10.5, 20.5}));
  Facade.SetYUp();
  EXPECT_TRUE(Facade.GetForceVector(7, v));
  EXPECT_EQ(v, (std::array<double, 3>{0.5, 20.5, -10.5}));
  Facade.SetZUp();
  Facade.SetLeftHandRule();
  EXPECT_TRUE(Facade.GetForceVector(7, v));
  EXPECT_EQ(v, (std::array<double, 3>{-0.5, 10.5, 20.5}));
  Facade.SetRightHandRule();

  EXPECT_TRUE(Facade.GetMomentVector(7, v));
  EXPECT_EQ(v, (std::array<double, 3>{1, 2, 3}));

  v = {7, 7, 7};
  EXPECT_FALSE(Facade.GetCentreOfPressure(7, v));  // no data sent
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  v = {7, 7, 7};
  EXPECT_FALSE(Facade.GetForceVector(8, v));  // 2 samples: N = 0
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
  v = {7, 7, 7};
  EXPECT_FALSE(Facade.GetForceVector(42, v));  // unknown device
  EXPECT_EQ(v, (std::array<double, 3>{0, 0, 0}));
}

TEST_F(FacadeWithFrame, AnalogChannelsAndVoltages) {
  Load(PlateFrame());
  int32_t n = 99;
  EXPECT_TRUE(Facade.GetNumberOfAnalogChannels(7, n));
  EXPECT_EQ(n, 4);
  EXPECT_TRUE(Facade.GetNumberOfAnalogChannels(8, n));  // first non-triple output
  EXPECT_EQ(n, 6);
  EXPECT_TRUE(Facade.GetNumberOfAnalogChannels(11, n));  // no names: 0 channels
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_FALSE(Facade.GetNumberOfAnalogChannels(12, n));  // no analog output
  EXPECT_EQ(n, 0);

  // 4 channels, 40 samples: N = 10.
  double voltage = 7.0;
  EXPECT_TRUE(Facade.GetAnalogChannelVoltage(7, 1, voltage));
  EXPECT_EQ(voltage, 0.5);
  EXPECT_TRUE(Facade.GetAnalogChannelVoltage(7, 2, voltage));
  EXPECT_EQ(voltage, 10.5);
  EXPECT_TRUE(Facade.GetAnalogChannelVoltage(7, 4, voltage));
  EXPECT_EQ(voltage, 30.5);
  // The axis convention does not apply to voltages.
  Facade.SetLeftHandRule();
  EXPECT_TRUE(Facade.GetAnalogChannelVoltage(7, 4, voltage));
  EXPECT_EQ(voltage, 30.5);

  voltage = 7.0;
  EXPECT_FALSE(Facade.GetAnalogChannelVoltage(7, 0, voltage));
  EXPECT_EQ(voltage, 0.0);
  voltage = 7.0;
  EXPECT_FALSE(Facade.GetAnalogChannelVoltage(7, 5, voltage));  // above the channel count
  EXPECT_EQ(voltage, 0.0);
  voltage = 7.0;
  EXPECT_FALSE(Facade.GetAnalogChannelVoltage(7, 0xFFFFFFFFu, voltage));
  EXPECT_EQ(voltage, 0.0);
  voltage = 7.0;
  EXPECT_FALSE(Facade.GetAnalogChannelVoltage(11, 1, voltage));  // no component names
  EXPECT_EQ(voltage, 0.0);
  voltage = 7.0;
  EXPECT_FALSE(Facade.GetAnalogChannelVoltage(8, 1, voltage));  // 5 samples, 6 channels
  EXPECT_EQ(voltage, 0.0);
  voltage = 7.0;
  EXPECT_FALSE(Facade.GetAnalogChannelVoltage(12, 1, voltage));  // no analog output
  EXPECT_EQ(voltage, 0.0);
  voltage = 7.0;
  EXPECT_FALSE(Facade.GetAnalogChannelVoltage(9, 1, voltage));  // not a plate
  EXPECT_EQ(voltage, 0.0);
}

TEST_F(FacadeWithFrame, ChannelAboveTheCountNeverReadsPastTheSamples) {
  // Four channels but exactly 4 samples (N = 1): channel 5 would address
  // sample 4, one past the end.
  VFrameRecord frame = PlateFrame();
  EditData(frame).Voltages.clear();
  EditData(frame).Voltages.push_back(MakeData(7, 4, {1, 2, 3, 4}));
  Load(frame);
  double voltage = 7.0;
  EXPECT_TRUE(Facade.GetAnalogChannelVoltage(7, 4, voltage));
  EXPECT_EQ(voltage, 4.0);
  voltage = 7.0;
  EXPECT_FALSE(Facade.GetAnalogChannelVoltage(7, 5, voltage));
  EXPECT_EQ(voltage, 0.0);
}

TEST_F(FacadeWithFrame, PlateQueriesNeedAFrame) {
  Source.Drive(Mock);
  ASSERT_TRUE(Facade.Connect(Share(Mock), "host"));
  int32_t n = 99;
  EXPECT_FALSE(Facade.GetForcePlateCount(n));  // connected, no frame yet
  EXPECT_EQ(n, 0);
}

}  // namespace
