// The demo scene, checked through the library's own packet reader: the
// packets the scene builds are decoded exactly as a client decodes them.
#include "streamio/field_at.h"
#include "tools/sim/scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "stream/packet_reader.h"
#include "testing/memory_reader_writer.h"
#include "testing/wire_bytes.h"

using namespace LumoraQSSim;

using namespace LumoraQSServe;
using namespace LumoraQSStream;

namespace {

const std::set<int32_t> AllTypes = {1, 2, 3, 4, 5, 6, 9, 10, 11, 12, 13};

struct VDecoded {
  std::shared_ptr<const VStaticObjects> Static;
  std::shared_ptr<const VDynamicObjects> Dynamic;
  std::vector<int32_t> Types;  // object types in wire order
};

// The object types of a packet, walked from the raw bytes.
std::vector<int32_t> ObjectTypes(const VBytes& packet) {
  QSTesting::VObjectWalk walk = QSTesting::WalkObjects(packet);
  EXPECT_EQ(walk.End, packet.size()) << "objects must fill the payload exactly";
  EXPECT_EQ(static_cast<std::size_t>(LumoraQSStreamIO::Int32At(packet, 4)), packet.size() - 8) << "payload length";
  return std::move(walk.Types);
}

VDecoded Decode(const VBytes& packet) {
  QSTesting::VMemoryReader reader(packet);
  VPacketReader packets;
  VPacketDelivery delivery;
  EXPECT_TRUE(packets.ReadPacket(reader, false, delivery));
  EXPECT_EQ(reader.Unread(), 0u);
  return {delivery.Static, delivery.Dynamic, ObjectTypes(packet)};
}

using VVec = std::array<double, 3>;

// R^T (p - t): the point in the coordinates of a segment whose rotation is
// stored row by row.
VVec ToLocal(const VSegmentPose& pose, const VVec& point) {
  const VVec d = {point[0] - pose.Translation[0], point[1] - pose.Translation[1], point[2] - pose.Translation[2]};
  const auto& r = pose.Rotation;
  return {r[0] * d[0] + r[3] * d[1] + r[6] * d[2], r[1] * d[0] + r[4] * d[1] + r[7] * d[2],
          r[2] * d[0] + r[5] * d[1] + r[8] * d[2]};
}

const VSegmentPose* FindPose(const VDynamicObjects& frame, int32_t subject, int32_t segment) {
  for (const auto& group : frame.GlobalSegmentPoses)
    if (group.SubjectID == subject)
      for (const auto& pose : group.Poses)
        if (pose.SegmentID == segment) return &pose;
  return nullptr;
}

const VMarkerPosition* FindMarker(const VDynamicObjects& frame, int32_t subject, int32_t marker) {
  for (const auto& record : frame.MarkerPositions)
    if (record.SubjectID == subject && record.MarkerID == marker) return &record;
  return nullptr;
}

bool IsForcePlateOutput(const VDeviceOutputInfo& output) {
  const auto& n = output.ComponentNames;
  auto oneOf = [](const std::string& name, std::initializer_list<const char*> options) {
    for (const char* option : options)
      if (name == option) return true;
    return false;
  };
  return n.size() == 3 && oneOf(n[0], {"Fx", "Mx", "Cx"}) && oneOf(n[1], {"Fy", "My", "Cy"}) &&
         oneOf(n[2], {"Fz", "Mz", "Cz"});
}

int32_t MarkerIDByName(const VSubjectInfo& subject, const std::string& name) {
  for (const auto& marker : subject.Markers)
    if (marker.Name == name) return marker.MarkerID;
  ADD_FAILURE() << "no marker " << name;
  return -1;
}

}  // namespace

TEST(DemoScene, StaticPacketDescribesSubjectsAndForcePlates) {
  const VDemoScene scene;
  const VDecoded packet = Decode(scene.StaticPacket(AllTypes));
  ASSERT_TRUE(packet.Static);
  EXPECT_FALSE(packet.Dynamic) << "a static packet holds no per-frame objects";
  EXPECT_EQ(packet.Types, (std::vector<int32_t>{1, 2, 2, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4}));
  const VStaticObjects& description = *packet.Static;

  ASSERT_EQ(description.Subjects.size(), 2u);
  const VSubjectInfo& walker = description.Subjects[0];
  const VSubjectInfo& wand = description.Subjects[1];
  EXPECT_EQ(walker.Name, "Walker");
  EXPECT_EQ(wand.Name, "Wand");
  EXPECT_NE(walker.SubjectID, wand.SubjectID);
  EXPECT_EQ(walker.Segments.size(), 15u);
  EXPECT_EQ(walker.Markers.size(), 41u);
  EXPECT_EQ(wand.Segments.size(), 1u);
  EXPECT_EQ(wand.Markers.size(), 5u);
  for (const VSubjectInfo* subject : {&walker, &wand}) {
    std::set<int32_t> segmentIDs, markerIDs;
    std::set<std::string> segmentNames, markerNames;
    for (const auto& s : subject->Segments) {
      segmentIDs.insert(s.SegmentID);
      segmentNames.insert(s.Name);
    }
    for (const auto& m : subject->Markers) {
      markerIDs.insert(m.MarkerID);
      markerNames.insert(m.Name);
    }
    EXPECT_EQ(segmentIDs.size(), subject->Segments.size()) << subject->Name << ": segment ids unique";
    EXPECT_EQ(segmentNames.size(), subject->Segments.size()) << subject->Name << ": segment names unique";
    EXPECT_EQ(markerIDs.size(), subject->Markers.size()) << subject->Name << ": marker ids unique";
    EXPECT_EQ(markerNames.size(), subject->Markers.size()) << subject->Name << ": marker names unique";
    // Every marker is attached to one existing segment.
    ASSERT_EQ(subject->Pairs.size(), subject->Markers.size());
    for (const auto& pair : subject->Pairs) {
      EXPECT_EQ(markerIDs.count(static_cast<int32_t>(pair.First)), 1u);
      EXPECT_EQ(segmentIDs.count(static_cast<int32_t>(pair.Second)), 1u);
    }
  }
  for (const char* name : {"Pelvis", "Thorax", "Head", "LeftThigh", "RightShank", "LeftFoot", "RightHand"}) {
    EXPECT_TRUE(std::any_of(walker.Segments.begin(), walker.Segments.end(),
                            [&](const VSegmentInfo& s) { return s.Name == name; }))
        << name;
  }

  // Two force plates as the client recognises them: exactly three force
  // plate outputs per device, and an 8-channel analog output as the first
  // other output; output ids unique over all devices (voltages are found by
  // output id alone).
  ASSERT_EQ(description.Devices.size(), 2u);
  ASSERT_EQ(description.DeviceOutputs.size(), 8u);
  std::set<int32_t> outputIDs;
  for (const auto& output : description.DeviceOutputs) outputIDs.insert(output.OutputID);
  EXPECT_EQ(outputIDs.size(), 8u);
  for (const VDeviceInfo& device : description.Devices) {
    int plateOutputs = 0;
    const VDeviceOutputInfo* analog = nullptr;
    for (const auto& output : description.DeviceOutputs) {
      if (output.DeviceID != device.DeviceID) continue;
      if (IsForcePlateOutput(output)) ++plateOutputs;
      else if (!analog) analog = &output;
    }
    EXPECT_EQ(plateOutputs, 3) << device.Name;
    ASSERT_NE(analog, nullptr) << device.Name;
    EXPECT_EQ(analog->ComponentNames,
              (std::vector<std::string>{"Ch1", "Ch2", "Ch3", "Ch4", "Ch5", "Ch6", "Ch7", "Ch8"}));
  }
}

TEST(DemoScene, PacketsCarryOnlyTheRequestedTypes) {
  const VDemoScene scene;
  const int32_t frame = 123;
  // Without type 6 there are no marker positions, and so on for each kind.
  const std::vector<std::set<int32_t>> requests = {
      {5}, {5, 9}, {5, 10, 11, 12, 13}, {1, 2, 3, 4, 5, 9, 10, 11, 12, 13}, {6}, {13}, {2, 6}, {}};
  for (const auto& requested : requests) {
    for (bool withStatic : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "request of " << requested.size() << " types, static " << withStatic);
      const VDecoded packet = Decode(scene.FramePacket(frame, requested, withStatic));
      for (int32_t type : packet.Types) EXPECT_EQ(requested.count(type), 1u) << "unrequested type " << type;
      for (int32_t type : requested) {
        if (withStatic || !VDemoScene::IsStaticType(type)) {
          EXPECT_NE(std::find(packet.Types.begin(), packet.Types.end(), type), packet.Types.end())
              << "requested type " << type << " missing";
        }
      }

      if (packet.Dynamic) {
        const VDynamicObjects& d = *packet.Dynamic;
        EXPECT_EQ(d.FrameNumber, requested.count(5) ? frame : -1);
        EXPECT_EQ(d.MarkerPositions.empty(), requested.count(6) == 0);
        EXPECT_EQ(d.GlobalSegmentPoses.size(), requested.count(9) ? 2u : 0u);
        EXPECT_EQ(d.Forces.size(), requested.count(10) ? 2u : 0u);
        EXPECT_EQ(d.Moments.size(), requested.count(11) ? 2u : 0u);
        EXPECT_EQ(d.CentresOfPressure.size(), requested.count(12) ? 2u : 0u);
        EXPECT_EQ(d.Voltages.size(), requested.count(13) ? 2u : 0u);
      }
      if (packet.Static) {
        EXPECT_TRUE(withStatic);
        EXPECT_EQ(packet.Static->Subjects.size(), requested.count(2) ? 2u : 0u);
        EXPECT_EQ(packet.Static->Devices.size(), requested.count(3) ? 2u : 0u);
        EXPECT_EQ(packet.Static->DeviceOutputs.size(), requested.count(4) ? 8u : 0u);
      }
    }
  }
  // Static types never travel in a packet built without the description.
  EXPECT_FALSE(Decode(scene.DynamicPacket(frame, AllTypes)).Static);
  // Nothing requested: an empty packet that delivers nothing.
  const VDecoded empty = Decode(scene.DynamicPacket(frame, {}));
  EXPECT_TRUE(empty.Types.empty());
  EXPECT_FALSE(empty.Static);
  EXPECT_FALSE(empty.Dynamic);
}

TEST(DemoScene, SegmentRotationsAreProperRotationsInEveryFrame) {
  const VDemoScene scene;
  const auto& description = scene.Description();
  for (int32_t frame = 0; frame < 1300; ++frame) {
    const VDecoded packet = Decode(scene.DynamicPacket(frame, {5, 9}));
    ASSERT_TRUE(packet.Dynamic);
    ASSERT_EQ(packet.Dynamic->GlobalSegmentPoses.size(), 2u);
    for (const VSubjectInfo& subject : description.Subjects) {
      for (const VSegmentInfo& segment : subject.Segments) {
        const VSegmentPose* pose = FindPose(*packet.Dynamic, subject.SubjectID, segment.SegmentID);
        ASSERT_NE(pose, nullptr) << "frame " << frame << " " << segment.Name;
        const auto& r = pose->Rotation;
        for (int i = 0; i < 3; ++i) {
          for (int j = 0; j < 3; ++j) {
            const double dot = r[3 * i] * r[3 * j] + r[3 * i + 1] * r[3 * j + 1] + r[3 * i + 2] * r[3 * j + 2];
            ASSERT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-9) << "frame " << frame << " " << segment.Name;
          }
        }
        const double det = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                           r[2] * (r[3] * r[7] - r[4] * r[6]);
        ASSERT_NEAR(det, 1.0, 1e-9) << "frame " << frame << " " << segment.Name;
        for (double value : pose->Translation) ASSERT_TRUE(std::isfinite(value));
      }
    }
  }
}

TEST(DemoScene, MarkersStayFixedOnTheirSegments) {
  const VDemoScene scene;
  const VDecoded description = Decode(scene.StaticPacket({2}));
  ASSERT_TRUE(description.Static);
  std::map<std::pair<int32_t, int32_t>, int32_t> segmentOf;  // (subject, marker) -> segment
  std::size_t markerCount = 0;
  for (const auto& subject : description.Static->Subjects) {
    markerCount += subject.Markers.size();
    for (const auto& pair : subject.Pairs)
      segmentOf[{subject.SubjectID, static_cast<int32_t>(pair.First)}] = static_cast<int32_t>(pair.Second);
  }

  std::map<std::pair<int32_t, int32_t>, VVec> firstLocal;
  std::size_t absent = 0;
  const int32_t frames = 700;
  for (int32_t frame = 0; frame < frames; ++frame) {
    const VDecoded packet = Decode(scene.DynamicPacket(frame, {5, 6, 9}));
    ASSERT_TRUE(packet.Dynamic);
    const auto& markers = packet.Dynamic->MarkerPositions;
    EXPECT_GE(markers.size(), markerCount * 9 / 10) << "frame " << frame;
    absent += markerCount - markers.size();
    std::set<std::pair<int32_t, int32_t>> seen;
    for (const VMarkerPosition& marker : markers) {
      const std::pair<int32_t, int32_t> key{marker.SubjectID, marker.MarkerID};
      EXPECT_TRUE(seen.insert(key).second) << "marker reported twice";
      ASSERT_EQ(segmentOf.count(key), 1u) << "unknown marker " << marker.SubjectID << "/" << marker.MarkerID;
      const VSegmentPose* pose = FindPose(*packet.Dynamic, marker.SubjectID, segmentOf[key]);
      ASSERT_NE(pose, nullptr);
      const VVec local = ToLocal(*pose, marker.Position);
      EXPECT_LE(std::sqrt(local[0] * local[0] + local[1] * local[1] + local[2] * local[2]), 500.0 + 1e-6)
          << "marker far from its segment";
      auto first = firstLocal.emplace(key, local);
      for (int axis = 0; axis < 3; ++axis)
        ASSERT_NEAR(local[axis], first.first->second[axis], 1e-6)
            << "marker " << marker.SubjectID << "/" << marker.MarkerID << " moved on its segment at frame " << frame;
    }
  }
  EXPECT_EQ(firstLocal.size(), markerCount) << "every marker is seen at some time";
  EXPECT_GT(absent, 0u) << "occlusions happen";
  EXPECT_LT(absent, markerCount * frames / 20) << "occlusions stay rare";
  // The scene's own attachment table agrees with what the stream shows.
  for (const VMarkerAttachment& attachment : scene.Attachments()) {
    const auto seen = firstLocal.find({attachment.SubjectID, attachment.MarkerID});
    ASSERT_NE(seen, firstLocal.end());
    for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(seen->second[axis], attachment.Local[axis], 1e-6);
  }
}

TEST(DemoScene, WalkerWalksAlongTheWalkwayInOneSecondCycles) {
  const VDemoScene scene;  // 100 frames per second
  const VSubjectInfo& walker = scene.Description().Subjects[0];
  const int32_t pelvis = walker.Segments[0].SegmentID;
  const int32_t leftHeel = MarkerIDByName(walker, "LeftHeel");
  const int32_t rightHeel = MarkerIDByName(walker, "RightHeel");

  std::vector<std::shared_ptr<const VDynamicObjects>> frames;
  for (int32_t frame = 0; frame <= 600; ++frame) frames.push_back(Decode(scene.DynamicPacket(frame, {5, 6, 9})).Dynamic);

  // About 1 m/s along +X, hips at a standing height.
  for (int32_t frame = 0; frame + 100 < 600; frame += 50) {
    const VSegmentPose* a = FindPose(*frames[frame], VDemoScene::WalkerID, pelvis);
    const VSegmentPose* b = FindPose(*frames[frame + 100], VDemoScene::WalkerID, pelvis);
    ASSERT_TRUE(a && b);
    EXPECT_NEAR(b->Translation[0] - a->Translation[0], 1000.0, 100.0) << "frame " << frame;
    EXPECT_GT(a->Translation[2], 800.0);
    EXPECT_LT(a->Translation[2], 1000.0);
  }

  // Each heel rests on the floor for a bit more than half of the cycle and
  // touches down once a second.
  for (int32_t heel : {leftHeel, rightHeel}) {
    int still = 0, touchdowns = 0, seen = 0;
    bool wasStill = true;
    for (int32_t frame = 1; frame <= 600; ++frame) {
      const VMarkerPosition* now = FindMarker(*frames[frame], VDemoScene::WalkerID, heel);
      const VMarkerPosition* before = FindMarker(*frames[frame - 1], VDemoScene::WalkerID, heel);
      if (!now || !before) continue;
      ++seen;
      EXPECT_GE(now->Position[2], 0.0) << "heel below the floor";
      const bool isStill = std::fabs(now->Position[0] - before->Position[0]) < 1e-9;
      still += isStill;
      touchdowns += isStill && !wasStill;
      wasStill = isStill;
    }
    EXPECT_GT(still, seen * 50 / 100);
    EXPECT_LT(still, seen * 65 / 100);
    EXPECT_GE(touchdowns, 5);
    EXPECT_LE(touchdowns, 7);
  }
}

TEST(DemoScene, ForcePlatesFeelTheFootStandingOnThem) {
  const VDemoScene scene;
  const int n = scene.SamplesPerFrame();
  const VSubjectInfo& walker = scene.Description().Subjects[0];
  const int32_t heels[2] = {MarkerIDByName(walker, "LeftHeel"), MarkerIDByName(walker, "RightHeel")};
  const int32_t toes[2] = {MarkerIDByName(walker, "LeftToe"), MarkerIDByName(walker, "RightToe")};
  const double weight = VDemoScene::BodyMass * 9.81;

  std::vector<std::shared_ptr<const VDynamicObjects>> frames;
  for (int32_t frame = 0; frame <= 601; ++frame) frames.push_back(Decode(scene.DynamicPacket(frame, AllTypes)).Dynamic);

  for (const VForcePlateGeometry& plate : scene.Plates()) {
    SCOPED_TRACE("plate " + std::to_string(plate.DeviceID));
    auto inside = [&](const VMarkerPosition* m) {
      return m && std::fabs(m->Position[0] - plate.Origin[0]) <= plate.HalfLength &&
             std::fabs(m->Position[1] - plate.Origin[1]) <= plate.HalfWidth;
    };
    auto dataOf = [&](const std::vector<VDeviceOutputData>& list) -> const VDeviceOutputData& {
      for (const auto& data : list)
        if (data.DeviceID == plate.DeviceID) return data;
      ADD_FAILURE() << "no data for the plate";
      return list.front();
    };
    int loadedFrames = 0;
    double peak = 0;
    for (int32_t frame = 1; frame <= 600; ++frame) {
      const VDynamicObjects& d = *frames[frame];
      const VDeviceOutputData& force = dataOf(d.Forces);
      const VDeviceOutputData& moment = dataOf(d.Moments);
      const VDeviceOutputData& centre = dataOf(d.CentresOfPressure);
      ASSERT_EQ(force.Samples.size(), 3u * n);

      // Which foot touches this plate now or within the frame's samples.
      int footOn = -1;
      bool footStandsStill = false;
      for (int foot = 0; foot < 2; ++foot) {
        const VMarkerPosition* heel = FindMarker(d, VDemoScene::WalkerID, heels[foot]);
        const VMarkerPosition* toe = FindMarker(d, VDemoScene::WalkerID, toes[foot]);
        const VMarkerPosition* nextHeel = FindMarker(*frames[frame + 1], VDemoScene::WalkerID, heels[foot]);
        const VMarkerPosition* prevHeel = FindMarker(*frames[frame - 1], VDemoScene::WalkerID, heels[foot]);
        if (!(inside(heel) && inside(toe)) && !inside(nextHeel)) continue;
        footOn = foot;
        footStandsStill = heel && nextHeel && prevHeel && inside(heel) && inside(toe) &&
                          heel->Position == nextHeel->Position && heel->Position == prevHeel->Position;
      }

      for (int i = 0; i < n; ++i) {
        const double fz = force.Samples[2 * n + i];
        const double cx = centre.Samples[i], cy = centre.Samples[n + i];
        EXPECT_GE(fz, 0.0);
        // The centre of pressure never leaves the plate.
        EXPECT_LE(std::fabs(cx - plate.Origin[0]), plate.HalfLength + 1e-3);
        EXPECT_LE(std::fabs(cy - plate.Origin[1]), plate.HalfWidth + 1e-3);
        if (footOn < 0) {
          EXPECT_EQ(fz, 0.0) << "force on an empty plate, frame " << frame;
          EXPECT_EQ(force.Samples[i], 0.0f);
          EXPECT_EQ(moment.Samples[i], 0.0f);
        }
        if (fz > 0) {
          peak = std::max(peak, fz);
          // Moments about the plate's origin agree with the force acting at
          // the centre of pressure (lever arm in metres).
          const double rx = (cx - plate.Origin[0]) / 1000.0, ry = (cy - plate.Origin[1]) / 1000.0;
          EXPECT_NEAR(moment.Samples[i], ry * fz, 1e-3 * fz + 1e-3);
          EXPECT_NEAR(moment.Samples[n + i], -rx * fz, 1e-3 * fz + 1e-3);
        }
      }
      const double fz0 = force.Samples[2 * n];
      if (footStandsStill) {
        EXPECT_GT(fz0, 0.0) << "no load under the standing foot, frame " << frame;
        // The pressure sits under the foot, between heel and toe.
        const VMarkerPosition* heel = FindMarker(d, VDemoScene::WalkerID, heels[footOn]);
        const VMarkerPosition* toe = FindMarker(d, VDemoScene::WalkerID, toes[footOn]);
        EXPECT_GE(centre.Samples[0], heel->Position[0] - 10.0);
        EXPECT_LE(centre.Samples[0], toe->Position[0] + 10.0);
        EXPECT_NEAR(centre.Samples[n], heel->Position[1], 50.0);
      }
      loadedFrames += fz0 > 0;
    }
    // Each plate is stepped on once per pass, for about a stance phase.
    EXPECT_GE(loadedFrames, 50);
    EXPECT_LE(loadedFrames, 65);
    EXPECT_GT(peak, 0.9 * weight);
    EXPECT_LT(peak, 1.5 * weight);
  }
}

TEST(DemoScene, DeviceSamplesAreLaidOutComponentByComponent) {
  for (int samples : {10, 4}) {
    const VDemoScene scene(100.0, samples);
    const std::size_t n = static_cast<std::size_t>(samples);
    int loaded = 0;
    for (int32_t frame = 0; frame < 600; frame += 3) {
      const VDecoded packet = Decode(scene.DynamicPacket(frame, AllTypes));
      ASSERT_TRUE(packet.Dynamic);
      const VDynamicObjects& d = *packet.Dynamic;
      ASSERT_EQ(d.Forces.size(), 2u);
      ASSERT_EQ(d.Voltages.size(), 2u);
      for (std::size_t p = 0; p < 2; ++p) {
        const VForcePlateGeometry& plate = scene.Plates()[p];
        const VDeviceOutputData& force = d.Forces[p];
        const VDeviceOutputData& volts = d.Voltages[p];
        EXPECT_EQ(force.DeviceID, plate.DeviceID);
        EXPECT_EQ(force.OutputID, plate.ForceOutputID);
        EXPECT_EQ(d.Moments[p].OutputID, plate.MomentOutputID);
        EXPECT_EQ(d.CentresOfPressure[p].OutputID, plate.CentreOfPressureOutputID);
        EXPECT_EQ(volts.OutputID, plate.AnalogOutputID);
        ASSERT_EQ(force.Samples.size(), 3 * n);
        ASSERT_EQ(d.Moments[p].Samples.size(), 3 * n);
        ASSERT_EQ(d.CentresOfPressure[p].Samples.size(), 3 * n);
        ASSERT_EQ(volts.Samples.size(), 8 * n);
        // The sensor channels add up to the force components, sample by
        // sample, and balance at the centre of pressure.
        const double k = VDemoScene::VoltsPerNewton;
        for (std::size_t i = 0; i < n; ++i) {
          auto ch = [&](std::size_t channel) { return static_cast<double>(volts.Samples[(channel - 1) * n + i]) / k; };
          const double fx = force.Samples[i], fy = force.Samples[n + i], fz = force.Samples[2 * n + i];
          EXPECT_NEAR(ch(1) + ch(2), fx, 0.05 + 1e-4 * std::fabs(fx));
          EXPECT_NEAR(ch(3) + ch(4), fy, 0.05 + 1e-4 * std::fabs(fy));
          EXPECT_NEAR(ch(5) + ch(6) + ch(7) + ch(8), fz, 0.05 + 1e-4 * fz);
          if (fz > 50.0) {
            ++loaded;
            const double x = VDemoScene::SensorOffsetX * (ch(5) - ch(6) - ch(7) + ch(8)) / fz;
            const double y = VDemoScene::SensorOffsetY * (ch(5) + ch(6) - ch(7) - ch(8)) / fz;
            EXPECT_NEAR(x, d.CentresOfPressure[p].Samples[i] - plate.Origin[0], 0.5);
            EXPECT_NEAR(y, d.CentresOfPressure[p].Samples[n + i] - plate.Origin[1], 0.5);
          }
        }
      }
    }
    EXPECT_GT(loaded, 0) << "some frames load the plates";
  }
}
