// The facade's indexed queries against a scan of the frame record in list
// order, the answer the queries have always given: on records full of
// duplicate names, ids and entries, below and above the sizes where the
// indexes stop scanning, one record after another through GetFrame.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "api/simple_client.h"
#include "facade_test_support.h"

using ::testing::NiceMock;
using namespace LumoraQSStream;

namespace {

// Small pools of names and ids, so that every list repeats them.
const std::vector<std::string> SubjectNames = {"A", "B", "", "Dup"};
const std::vector<std::string> ItemNames = {"s0", "s1", "s2", "", "s4"};
const std::vector<std::vector<std::string>> Components = {{"Fx", "Fy", "Fz"},
                                                          {"Mx", "My", "Mz"},
                                                          {"Cx", "Cy", "Cz"},
                                                          {"Fx", "My", "Cz"},
                                                          {"fx", "fy", "fz"},
                                                          {"V1", "V2", "V3", "V4"},
                                                          {},
                                                          {"V1"}};

VFrameRecord RandomFrame(std::mt19937& random, int scale, int32_t number) {
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  VFrameRecord frame = MakeFrame(number);
  for (int s = 0, subjects = 2 + pick(scale); s < subjects; ++s) {
    std::vector<std::pair<int32_t, std::string>> segments, markers;
    for (int i = pick(8); i > 0; --i) segments.emplace_back(pick(6), ItemNames[pick(5)]);
    for (int i = pick(8); i > 0; --i) markers.emplace_back(pick(6), ItemNames[pick(5)]);
    frame.SubjectInfos.push_back(MakeSubject(pick(5), SubjectNames[pick(4)], segments, markers));
  }
  for (int g = scale; g > 0; --g) {
    VSegmentPoses group;
    group.SubjectID = pick(5);
    for (int i = pick(8); i > 0; --i) group.Poses.push_back(MakePose(pick(6), {1.0 * pick(99), 2, 3}, {}));
    frame.GlobalSegmentPoses.push_back(group);
    frame.MarkerPositions.push_back(MakeMarkerPosition(pick(5), pick(6), {1.0 * pick(99), 5, 6}));
  }
  // About five outputs per device id, so that some devices have exactly
  // three force plate outputs.
  const int devices = 2 + scale / 2;
  for (int d = scale; d > 0; --d) {
    frame.DeviceInfos.push_back(MakeDevice(pick(devices)));
    for (int o = 3; o > 0; --o) {
      frame.DeviceOutputInfos.push_back(MakeOutput(pick(devices), pick(9), Components[pick(8)]));
    }
    auto data = [&](int32_t device, int32_t output) { return MakeData(device, output, RampSamples(pick(13))); };
    frame.ForceData.push_back(data(pick(devices), 0));
    frame.MomentData.push_back(data(pick(devices), 0));
    frame.CentreOfPressureData.push_back(data(pick(devices), 0));
    frame.VoltageData.push_back(data(0, pick(9)));
  }
  return frame;
}

// --- The scans: the queries' answers, found by reading the lists in order ----------

bool PlateOutput(const VDeviceOutputInfo& o) {
  const auto& n = o.ComponentNames;
  return n.size() == 3 && (n[0] == "Fx" || n[0] == "Mx" || n[0] == "Cx") &&
         (n[1] == "Fy" || n[1] == "My" || n[1] == "Cy") && (n[2] == "Fz" || n[2] == "Mz" || n[2] == "Cz");
}

bool Plate(const VFrameRecord& f, int32_t device) {
  int outputs = 0;
  for (const auto& o : f.DeviceOutputInfos) outputs += o.DeviceID == device && PlateOutput(o);
  return outputs == 3;
}

template <class List, class Match>
const typename List::value_type* First(const List& list, Match match) {
  for (const auto& element : list) {
    if (match(element)) return &element;
  }
  return nullptr;
}

using VVector = std::array<double, 3>;

template <class Item>
const VSubjectInfo* Owner(const VFrameRecord& f, const std::string& subject, const std::string& item,
                          std::vector<Item> VSubjectInfo::*list, const Item*& found) {
  if (subject.empty() || item.empty()) return nullptr;
  for (const auto& s : f.SubjectInfos) {
    found = s.Name == subject ? First(s.*list, [&](const Item& i) { return i.Name == item; }) : nullptr;
    if (found) return &s;
  }
  return nullptr;
}

// Returns how many voltages were answered, so that a test can tell that its
// records reach that far.
int ExpectScanAnswers(VSimpleQSClient& facade, const VFrameRecord& f) {
  int voltages = 0;
  std::array<double, 3> v{};
  bool occluded = false;
  std::string text;
  int32_t n = 0;
  std::vector<std::string> subjects = SubjectNames;
  subjects.push_back("none");
  for (const std::string& subject : subjects) {
    SCOPED_TRACE("subject '" + subject + "'");
    const VSubjectInfo* first = First(f.SubjectInfos, [&](const VSubjectInfo& s) { return s.Name == subject; });
    EXPECT_EQ(facade.GetSegmentCount(subject, n), first && !subject.empty());
    EXPECT_EQ(n, first && !subject.empty() ? static_cast<int32_t>(first->Segments.size()) : 0);
    EXPECT_EQ(facade.GetMarkerCount(subject, n), first && !subject.empty());
    for (uint32_t i = 0; i < 9; ++i) {
      auto reaching = [&](auto list) {
        return i == 0 ? nullptr : First(f.SubjectInfos, [&](const VSubjectInfo& s) {
          return s.Name == subject && (s.*list).size() >= i;
        });
      };
      const VSubjectInfo* segments = reaching(&VSubjectInfo::Segments);
      EXPECT_EQ(facade.GetSegmentName(subject, i, text), segments != nullptr);
      EXPECT_EQ(text, segments ? segments->Segments[i - 1].Name : "");
      const VSubjectInfo* markers = reaching(&VSubjectInfo::Markers);
      EXPECT_EQ(facade.GetMarkerName(subject, i, text), markers != nullptr);
      EXPECT_EQ(text, markers ? markers->Markers[i - 1].Name : "");
    }
    for (const std::string& item : ItemNames) {
      const VSegmentInfo* segment = nullptr;
      const VSubjectInfo* owner = Owner(f, subject, item, &VSubjectInfo::Segments, segment);
      const VSegmentPose* pose = nullptr;
      for (const auto& group : f.GlobalSegmentPoses) {
        if (owner && !pose && group.SubjectID == owner->SubjectID) {
          pose = First(group.Poses, [&](const VSegmentPose& p) { return p.SegmentID == segment->SegmentID; });
        }
      }
      EXPECT_EQ(facade.GetGlobalSegmentTranslation(subject, item, v, occluded), owner != nullptr) << item;
      EXPECT_EQ(occluded, owner && !pose) << item;
      EXPECT_EQ(v, pose ? pose->Translation : VVector{}) << item;
      const VMarkerInfo* marker = nullptr;
      owner = Owner(f, subject, item, &VSubjectInfo::Markers, marker);
      const VMarkerPosition* position =
          owner ? First(f.MarkerPositions,
                        [&](const VMarkerPosition& p) {
                          return p.SubjectID == owner->SubjectID && p.MarkerID == marker->MarkerID;
                        })
                : nullptr;
      EXPECT_EQ(facade.GetGlobalMarkerTranslation(subject, item, v, occluded), owner != nullptr) << item;
      EXPECT_EQ(occluded, owner && !position) << item;
      EXPECT_EQ(v, position ? position->Position : VVector{}) << item;
    }
  }

  std::vector<int32_t> plates;
  for (const auto& d : f.DeviceInfos) {
    if (Plate(f, d.DeviceID)) plates.push_back(d.DeviceID);
  }
  EXPECT_TRUE(facade.GetForcePlateCount(n));
  EXPECT_EQ(n, static_cast<int32_t>(plates.size()));
  for (uint32_t i = 0; i <= plates.size() + 1; ++i) {
    EXPECT_EQ(facade.GetForcePlateID(i, n), i > 0 && i <= plates.size());
    EXPECT_EQ(n, i > 0 && i <= plates.size() ? plates[i - 1] : 0);
  }
  for (int32_t device = 0; device < 40; ++device) {
    SCOPED_TRACE("device " + std::to_string(device));
    const bool plate = Plate(f, device);
    auto expectVector = [&](bool answered, const std::vector<VDeviceOutputData>& list) {
      const VDeviceOutputData* entry =
          plate ? First(list, [&](const VDeviceOutputData& d) { return d.DeviceID == device; }) : nullptr;
      const std::size_t k = entry ? entry->Samples.size() / 3 : 0;
      EXPECT_EQ(answered, k != 0);
      const VVector expected = {k ? entry->Samples[0] : 0.0, k ? entry->Samples[k] : 0.0,
                                k ? entry->Samples[2 * k] : 0.0};
      EXPECT_EQ(v, expected);
    };
    expectVector(facade.GetForceVector(device, v), f.ForceData);
    expectVector(facade.GetMomentVector(device, v), f.MomentData);
    expectVector(facade.GetCentreOfPressure(device, v), f.CentreOfPressureData);
    const VDeviceOutputInfo* analog =
        plate ? First(f.DeviceOutputInfos,
                      [&](const VDeviceOutputInfo& o) { return o.DeviceID == device && !PlateOutput(o); })
              : nullptr;
    EXPECT_EQ(facade.GetNumberOfAnalogChannels(device, n), analog != nullptr);
    EXPECT_EQ(n, analog ? static_cast<int32_t>(analog->ComponentNames.size()) : 0);
    const std::size_t channels = analog ? analog->ComponentNames.size() : 0;
    const VDeviceOutputData* volts =
        channels ? First(f.VoltageData, [&](const VDeviceOutputData& d) { return d.OutputID == analog->OutputID; })
                 : nullptr;
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

TEST(FrameLookups, QueriesAnswerAsAScanInListOrderWouldOnEveryRecord) {
  FrameSource source;
  NiceMock<MockQSClient> mock;
  source.Drive(mock);
  VSimpleQSClient facade;
  ASSERT_TRUE(facade.Connect(Share(mock), "host"));
  std::mt19937 random(15);
  int voltages = 0;
  // Small records are searched in list order, larger ones through their
  // indexes; each record replaces the last, whose indexes must not answer.
  for (int32_t number = 1; number <= 24; ++number) {
    SCOPED_TRACE("record " + std::to_string(number));
    const VFrameRecord frame = RandomFrame(random, number % 3 == 0 ? 3 : 60, number);
    source.Push(frame);
    ASSERT_TRUE(facade.GetFrame());
    voltages += ExpectScanAnswers(facade, frame);
  }
  EXPECT_GT(voltages, 0) << "no record had a force plate with channels";
}

}  // namespace
