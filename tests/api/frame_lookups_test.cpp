// The facade's indexed queries against a scan of the frame record in list
// order, the answer the queries have always given: on records full of
// duplicate names, ids and entries, below and above the sizes where the
// indexes stop scanning, one record after another through GetFrame.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "api/simple_client.h"
#include "facade_test_support.h"

using namespace LumoraQSStream;
using VVector = std::array<double, 3>;

namespace {

// Small pools of names, ids and component names, so that every list
// repeats them.
const std::vector<std::string> Names = {"A", "B", "", "s0", "s1"};
const std::vector<std::vector<std::string>> Components = {{"Fx", "Fy", "Fz"},
                                                          {"Mx", "My", "Mz"},
                                                          {"Cx", "Cy", "Cz"},
                                                          {"Fx", "My", "Cz"},
                                                          {"fx", "fy", "fz"},
                                                          {"V1", "V2", "V3"},
                                                          {},
                                                          {"V1"}};

VFrameRecord RandomFrame(std::mt19937& random, int scale, int32_t number) {
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  auto items = [&] {
    std::vector<std::pair<int32_t, std::string>> list;
    for (int i = pick(8); i > 0; --i) list.emplace_back(pick(6), Names[pick(5)]);
    return list;
  };
  VFrameRecord frame = MakeFrame(number);
  for (int s = 2 + pick(scale); s > 0; --s)
    EditScene(frame).Subjects.push_back(MakeSubject(pick(5), Names[pick(5)], items(), items()));
  // About five outputs per device id, so that some devices have exactly
  // three force plate outputs.
  const int devices = 2 + scale / 2;
  auto data = [&](int32_t device, int32_t output) { return MakeData(device, output, RampSamples(pick(13))); };
  for (int n = scale; n > 0; --n) {
    VSegmentPoses group;
    group.SubjectID = pick(5);
    for (int i = pick(8); i > 0; --i) group.Poses.push_back(MakePose(pick(6), {1.0 * pick(99), 2, 3}, {}));
    EditData(frame).GlobalSegmentPoses.push_back(group);
    EditData(frame).MarkerPositions.push_back(MakeMarkerPosition(pick(5), pick(6), {1.0 * pick(99), 5, 6}));
    EditScene(frame).Devices.push_back(MakeDevice(pick(devices)));
    for (int o = 3; o > 0; --o)
      EditScene(frame).DeviceOutputs.push_back(MakeOutput(pick(devices), pick(9), Components[pick(8)]));
    EditData(frame).Forces.push_back(data(pick(devices), 0));
    EditData(frame).Moments.push_back(data(pick(devices), 0));
    EditData(frame).CentresOfPressure.push_back(data(pick(devices), 0));
    EditData(frame).Voltages.push_back(data(0, pick(9)));
  }
  return frame;
}

template <class List, class Match>
const typename List::value_type* First(const List& list, Match match) {
  for (const auto& element : list) {
    if (match(element)) return &element;
  }
  return nullptr;
}

bool PlateOutput(const VDeviceOutputInfo& o) {
  const auto& n = o.ComponentNames;
  return n.size() == 3 && (n[0] == "Fx" || n[0] == "Mx" || n[0] == "Cx") &&
         (n[1] == "Fy" || n[1] == "My" || n[1] == "Cy") && (n[2] == "Fz" || n[2] == "Mz" || n[2] == "Cz");
}

bool Plate(const VFrameRecord& f, int32_t device) {
  int outputs = 0;
  for (const auto& o : f.DeviceOutputInfos()) outputs += o.DeviceID == device && PlateOutput(o);
  return outputs == 3;
}

// Every query on every name of the pools and every device id, each answer
// compared with the scan's; returns how many voltages were answered.
int ExpectScanAnswers(VSimpleQSClient& facade, const VFrameRecord& f) {
  VVector v{};
  bool occluded = false;
  std::string text;
  int32_t n = 0;
  for (const std::string& subject : Names) {
    SCOPED_TRACE("subject '" + subject + "'");
    auto named = [&](const VSubjectInfo& s) { return s.Name == subject; };
    const VSubjectInfo* first = subject.empty() ? nullptr : First(f.SubjectInfos(), named);
    EXPECT_EQ(facade.GetSegmentCount(subject, n), first != nullptr);
    EXPECT_EQ(n, first ? static_cast<int32_t>(first->Segments.size()) : 0);
    EXPECT_EQ(facade.GetMarkerCount(subject, n), first != nullptr);
    EXPECT_EQ(n, first ? static_cast<int32_t>(first->Markers.size()) : 0);
    for (uint32_t i = 0; i < 9; ++i) {
      auto reaching = [&](auto list) {
        return First(f.SubjectInfos(), [&](const VSubjectInfo& s) { return i && named(s) && (s.*list).size() >= i; });
      };
      const VSubjectInfo* segments = reaching(&VSubjectInfo::Segments);
      EXPECT_EQ(facade.GetSegmentName(subject, i, text), segments != nullptr);
      EXPECT_EQ(text, segments ? segments->Segments[i - 1].Name : "");
      const VSubjectInfo* markers = reaching(&VSubjectInfo::Markers);
      EXPECT_EQ(facade.GetMarkerName(subject, i, text), markers != nullptr);
      EXPECT_EQ(text, markers ? markers->Markers[i - 1].Name : "");
    }
    for (const std::string& item : Names) {
      // The first subject of the name with an item of the name, and its first such item.
      auto find = [&](auto list, const auto*& found) -> const VSubjectInfo* {
        for (const auto& s : f.SubjectInfos()) {
          found = named(s) && !subject.empty() && !item.empty()
                      ? First(s.*list, [&](const auto& i) { return i.Name == item; })
                      : nullptr;
          if (found) return &s;
        }
        return nullptr;
      };
      const VSegmentInfo* segment = nullptr;
      const VSubjectInfo* owner = find(&VSubjectInfo::Segments, segment);
      const VSegmentPose* pose = nullptr;
      for (const auto& group : f.GlobalSegmentPoses()) {
        if (owner && !pose && group.SubjectID == owner->SubjectID) {
          pose = First(group.Poses, [&](const VSegmentPose& p) { return p.SegmentID == segment->SegmentID; });
        }
      }
      EXPECT_EQ(facade.GetGlobalSegmentTranslation(subject, item, v, occluded), owner != nullptr) << item;
      EXPECT_EQ(occluded, owner && !pose) << item;
      EXPECT_EQ(v, pose ? pose->Translation : VVector{}) << item;
      const VMarkerInfo* marker = nullptr;
      owner = find(&VSubjectInfo::Markers, marker);
      const VMarkerPosition* position = First(f.MarkerPositions(), [&](const VMarkerPosition& p) {
        return owner && p.SubjectID == owner->SubjectID && p.MarkerID == marker->MarkerID;
      });
      EXPECT_EQ(facade.GetGlobalMarkerTranslation(subject, item, v, occluded), owner != nullptr) << item;
      EXPECT_EQ(occluded, owner && !position) << item;
      EXPECT_EQ(v, position ? position->Position : VVector{}) << item;
    }
  }

  std::vector<int32_t> plates;
  for (const auto& d : f.DeviceInfos()) {
    if (Plate(f, d.DeviceID)) plates.push_back(d.DeviceID);
  }
  EXPECT_TRUE(facade.GetForcePlateCount(n));
  EXPECT_EQ(n, static_cast<int32_t>(plates.size()));
  for (uint32_t i = 0; i <= plates.size() + 1; ++i) {
    EXPECT_EQ(facade.GetForcePlateID(i, n), i > 0 && i <= plates.size());
    EXPECT_EQ(n, i > 0 && i <= plates.size() ? plates[i - 1] : 0);
  }
  int voltages = 0;
  for (int32_t device = 0; device < 40; ++device) {
    SCOPED_TRACE("device " + std::to_string(device));
    const bool plate = Plate(f, device);
    auto expectVector = [&](bool answered, const std::vector<VDeviceOutputData>& list) {
      const VDeviceOutputData* entry =
          First(list, [&](const VDeviceOutputData& d) { return plate && d.DeviceID == device; });
      const std::size_t k = entry ? entry->Samples.size() / 3 : 0;
      EXPECT_EQ(answered, k != 0);
      EXPECT_EQ(v, (k ? VVector{entry->Samples[0], entry->Samples[k], entry->Samples[2 * k]} : VVector{}));
    };
    expectVector(facade.GetForceVector(device, v), f.ForceData());
    expectVector(facade.GetMomentVector(device, v), f.MomentData());
    expectVector(facade.GetCentreOfPressure(device, v), f.CentreOfPressureData());
    const VDeviceOutputInfo* analog = First(f.DeviceOutputInfos(), [&](const VDeviceOutputInfo& o) {
      return plate && o.DeviceID == device && !PlateOutput(o);
    });
    EXPECT_EQ(facade.GetNumberOfAnalogChannels(device, n), analog != nullptr);
    const std::size_t channels = analog ? analog->ComponentNames.size() : 0;
    EXPECT_EQ(n, static_cast<int32_t>(channels));
    const VDeviceOutputData* volts =
        First(f.VoltageData(), [&](const VDeviceOutputData& d) { return channels && d.OutputID == analog->OutputID; });
    const std::size_t k = volts ? volts->Samples.size() / channels : 0;
    for (uint32_t channel = 0; channel < 6; ++channel) {
      double voltage = -1;
      const bool answers = k != 0 && channel > 0 && channel <= channels;
      EXPECT_EQ(facade.GetAnalogChannelVoltage(device, channel, voltage), answers) << channel;
      EXPECT_EQ(voltage, answers ? volts->Samples[k * (channel - 1)] : 0.0) << channel;
      voltages += answers;
    }
  }
  return voltages;
}

// The record before's frame data as a later frame of a stream may bring it:
// new values in the same places, and with `reversed`, the poses of each
// group and the marker positions in reverse order.
VFrameRecord NextFrameOf(const VFrameRecord& before, bool reversed, int32_t number) {
  VFrameRecord frame = before;
  frame.FrameNumber = number;
  VDynamicObjects& data = EditData(frame);
  for (VSegmentPoses& group : data.GlobalSegmentPoses) {
    for (VSegmentPose& pose : group.Poses) pose.Translation[0] += 1000;
    if (reversed) std::reverse(group.Poses.begin(), group.Poses.end());
  }
  for (VMarkerPosition& position : data.MarkerPositions) position.Position[0] += 1000;
  if (reversed) std::reverse(data.MarkerPositions.begin(), data.MarkerPositions.end());
  return frame;
}

// A facade connected to a frame source the test fills.
class FrameLookups : public ::testing::Test {
 protected:
  void SetUp() override {
    Source.Drive(Mock);
    ASSERT_TRUE(Facade.Connect(Share(Mock), "host"));
  }
  FrameSource Source;
  ::testing::NiceMock<MockQSClient> Mock;
  VSimpleQSClient Facade;
};

TEST_F(FrameLookups, QueriesAnswerAsAScanInListOrderWouldOnEveryRecord) {
  std::mt19937 random(15);
  int voltages = 0;
  // Small records are searched in list order, larger ones through their
  // indexes; each record replaces the last, whose indexes must not answer.
  // Some records share the scene of the record before (whose scene indexes
  // are kept) or of the one before that (whose are not).
  std::vector<VSceneSnapshot> scenes;
  VFrameRecord kept;
  for (int32_t number = 1; number <= 27; ++number) {
    SCOPED_TRACE("record " + std::to_string(number));
    // Every record after a large new one keeps its frame data's layout, or
    // changes only the places of its poses and marker positions.
    VFrameRecord frame = number % 3 == 2 ? NextFrameOf(kept, number % 2 == 1, number)
                                         : RandomFrame(random, number % 3 == 0 ? 3 : 60, number);
    kept = frame;
    if (number % 4 == 0) frame.Scene = scenes.back();
    if (number % 5 == 0) frame.Scene = scenes[scenes.size() - 2];
    scenes.push_back(frame.Scene);
    Source.Push(frame);
    ASSERT_TRUE(Facade.GetFrame());
    voltages += ExpectScanAnswers(Facade, frame);
  }
  EXPECT_GT(voltages, 0) << "no record had a force plate with channels";
}

TEST_F(FrameLookups, PosesMovedToOtherGroupsAreFoundWhereTheyAreNow) {
  // One subject of 40 segments; its poses in one group, then the same poses
  // in the same order split over two groups, then over two groups the other
  // way round: every segment's pose comes from where the frame holds it.
  std::vector<std::pair<int32_t, std::string>> segments;
  for (int32_t id = 1; id <= 40; ++id) segments.emplace_back(id, "g" + std::to_string(id));
  for (const std::vector<std::size_t>& split : std::vector<std::vector<std::size_t>>{{40}, {10, 30}, {30, 10}}) {
    VFrameRecord frame = MakeFrame(static_cast<int32_t>(split.front()));
    EditScene(frame).Subjects.push_back(MakeSubject(1, "S", segments, {}));
    int32_t id = 1;
    for (std::size_t count : split) {
      VSegmentPoses group;
      group.SubjectID = 1;
      for (std::size_t i = 0; i < count; ++i, ++id) group.Poses.push_back(MakePose(id, {id + count * 100.0, 0, 0}, {}));
      EditData(frame).GlobalSegmentPoses.push_back(group);
    }
    Source.Push(frame);
    ASSERT_TRUE(Facade.GetFrame());
    for (const VSegmentPoses& group : frame.GlobalSegmentPoses()) {
      for (const VSegmentPose& pose : group.Poses) {
        VVector v{};
        bool occluded = true;
        EXPECT_TRUE(Facade.GetGlobalSegmentTranslation("S", "g" + std::to_string(pose.SegmentID), v, occluded));
        EXPECT_EQ(v, pose.Translation) << "segment " << pose.SegmentID << " of split " << split.front();
      }
    }
  }
}

}  // namespace
