#include "tools/sim/scene.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace LumoraQSSim {

using namespace LumoraQSStream;
using namespace LumoraQSServe;

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double Degrees = Pi / 180.0;

// Gait: one-second cycles at 1 m/s along +X, 60 % stance per foot, the
// right foot half a cycle behind the left. The walkway is 6 m long, six
// strides, so every footfall lands on the same spot on every pass.
constexpr double CycleSeconds = 1.0;
constexpr double Speed = 1000.0;  // mm/s
constexpr double Stride = Speed * CycleSeconds;
constexpr double StanceShare = 0.6;
constexpr double WalkwayStart = -3000.0;
constexpr double WalkwayLength = 6000.0;

// Body dimensions (mm).
constexpr double HipHeight = 880.0;
constexpr double HipHalfWidth = 90.0;
constexpr double FootHalfSpacing = 100.0;  // ankle lines at y = +-100
constexpr double AnkleHeight = 80.0;
constexpr double ThighLength = 450.0;
constexpr double ShankLength = 440.0;
constexpr double UpperArmLength = 300.0;
constexpr double ForearmLength = 260.0;
constexpr double HeelX = -60.0;   // heel and toe along the foot, from the ankle
constexpr double ToeX = 170.0;
constexpr double Gravity = 9.81;

enum ESegment : int32_t {
  Pelvis = 1,
  Thorax,
  Head,
  LeftUpperArm,
  LeftForearm,
  LeftHand,
  RightUpperArm,
  RightForearm,
  RightHand,
  LeftThigh,
  LeftShank,
  LeftFoot,
  RightThigh,
  RightShank,
  RightFoot,
  SegmentCount = RightFoot
};

struct VSegmentDef {
  int32_t ID;
  int32_t Parent;
  const char* Name;
};

const VSegmentDef WalkerSegments[] = {
    {Pelvis, 0, "Pelvis"},
    {Thorax, Pelvis, "Thorax"},
    {Head, Thorax, "Head"},
    {LeftUpperArm, Thorax, "LeftUpperArm"},
    {LeftForearm, LeftUpperArm, "LeftForearm"},
    {LeftHand, LeftForearm, "LeftHand"},
    {RightUpperArm, Thorax, "RightUpperArm"},
    {RightForearm, RightUpperArm, "RightForearm"},
    {RightHand, RightForearm, "RightHand"},
    {LeftThigh, Pelvis, "LeftThigh"},
    {LeftShank, LeftThigh, "LeftShank"},
    {LeftFoot, LeftShank, "LeftFoot"},
    {RightThigh, Pelvis, "RightThigh"},
    {RightShank, RightThigh, "RightShank"},
    {RightFoot, RightShank, "RightFoot"},
};

struct VMarkerDef {
  const char* Name;
  int32_t Segment;
  VVec3 Local;
};

// Local coordinates: every segment has x forward, y to the subject's left,
// z up along the segment (limb segments hang from their proximal joint, so
// their distal end lies on -z). Left-side entries are mirrored for the
// right side.
const VMarkerDef WalkerMarkers[] = {
    {"LeftFrontPelvis", Pelvis, {60, 120, 40}},
    {"RightFrontPelvis", Pelvis, {60, -120, 40}},
    {"LeftBackPelvis", Pelvis, {-90, 50, 50}},
    {"RightBackPelvis", Pelvis, {-90, -50, 50}},
    {"Neck", Thorax, {-70, 0, 420}},
    {"MidBack", Thorax, {-110, 0, 230}},
    {"UpperChest", Thorax, {60, 0, 400}},
    {"Sternum", Thorax, {100, 0, 250}},
    {"BackOffset", Thorax, {-110, -70, 300}},
    {"LeftFrontHead", Head, {90, 60, 120}},
    {"RightFrontHead", Head, {90, -60, 120}},
    {"LeftBackHead", Head, {-80, 60, 130}},
    {"RightBackHead", Head, {-80, -60, 130}},
    {"LeftShoulder", LeftUpperArm, {0, 20, 40}},
    {"LeftUpperArmMid", LeftUpperArm, {0, 45, -150}},
    {"LeftElbow", LeftUpperArm, {0, 35, -300}},
    {"LeftForearmMid", LeftForearm, {0, 35, -130}},
    {"LeftWristInner", LeftForearm, {0, -25, -260}},
    {"LeftWristOuter", LeftForearm, {0, 25, -260}},
    {"LeftFinger", LeftHand, {0, 0, -80}},
    {"RightShoulder", RightUpperArm, {0, -20, 40}},
    {"RightUpperArmMid", RightUpperArm, {0, -45, -150}},
    {"RightElbow", RightUpperArm, {0, -35, -300}},
    {"RightForearmMid", RightForearm, {0, -35, -130}},
    {"RightWristInner", RightForearm, {0, 25, -260}},
    {"RightWristOuter", RightForearm, {0, -25, -260}},
    {"RightFinger", RightHand, {0, 0, -80}},
    {"LeftThighMid", LeftThigh, {0, 70, -220}},
    {"LeftKnee", LeftThigh, {0, 55, -450}},
    {"LeftShinMid", LeftShank, {0, 55, -220}},
    {"LeftAnkle", LeftShank, {0, 45, -440}},
    {"LeftHeel", LeftFoot, {HeelX, 0, -50}},
    {"LeftToe", LeftFoot, {ToeX, 0, -60}},
    {"LeftFootOuter", LeftFoot, {120, 40, -60}},
    {"RightThighMid", RightThigh, {0, -70, -220}},
    {"RightKnee", RightThigh, {0, -55, -450}},
    {"RightShinMid", RightShank, {0, -55, -220}},
    {"RightAnkle", RightShank, {0, -45, -440}},
    {"RightHeel", RightFoot, {HeelX, 0, -50}},
    {"RightToe", RightFoot, {ToeX, 0, -60}},
    {"RightFootOuter", RightFoot, {120, -40, -60}},
};

// The wand: a 50 cm bar along its x axis with two markers off the bar, so
// that its orientation is fully determined by its markers.
const VMarkerDef WandMarkers[] = {
    {"WandBase", 1, {0, 0, 0}},
    {"WandMiddle", 1, {200, 0, 0}},
    {"WandTip", 1, {500, 0, 0}},
    {"WandSide", 1, {200, 120, 0}},
    {"WandTop", 1, {200, 0, 80}},
};

VVec3 Add(const VVec3& a, const VVec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
VVec3 Sub(const VVec3& a, const VVec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
VVec3 Scale(const VVec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
double Dot(const VVec3& a, const VVec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
VVec3 Cross(const VVec3& a, const VVec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
VVec3 Normalised(const VVec3& a) { return Scale(a, 1.0 / std::sqrt(Dot(a, a))); }

// The rotation whose local z axis points along `zAxis` and whose local y
// axis lies as close to `yHint` as possible. Columns are the local axes in
// world coordinates.
VMat3 FrameFromZ(const VVec3& zAxis, const VVec3& yHint) {
  const VVec3 z = Normalised(zAxis);
  const VVec3 x = Normalised(Cross(yHint, z));
  const VVec3 y = Cross(z, x);
  return {x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]};
}

VVec3 Column(const VMat3& r, int c) { return {r[c], r[3 + c], r[6 + c]}; }

// Deterministic per-(frame, marker) hash for occlusions.
uint64_t Mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// Arm swing (radians, positive = hand forward). Each arm swings with the
// opposite leg.
double ArmSwing(double seconds, bool left) {
  const double phase = seconds / CycleSeconds - (left ? 0.5 : 0.0);
  return 15.0 * Degrees * std::cos(2.0 * Pi * phase);
}

}  // namespace

// ---- Rotation helpers -------------------------------------------------------

VMat3 Multiply(const VMat3& a, const VMat3& b) {
  VMat3 m{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      m[3 * r + c] = a[3 * r] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
  return m;
}

VVec3 Apply(const VMat3& r, const VVec3& v) {
  return {r[0] * v[0] + r[1] * v[1] + r[2] * v[2], r[3] * v[0] + r[4] * v[1] + r[5] * v[2],
          r[6] * v[0] + r[7] * v[1] + r[8] * v[2]};
}

VMat3 RotationX(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {1, 0, 0, 0, c, -s, 0, s, c};
}

VMat3 RotationY(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {c, 0, s, 0, 1, 0, -s, 0, c};
}

VMat3 RotationZ(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {c, -s, 0, s, c, 0, 0, 0, 1};
}

// ---- Description ------------------------------------------------------------

VDemoScene::VDemoScene(double frameRate, int samplesPerFrame)
    : FrameRate_(frameRate), SamplesPerFrame_(samplesPerFrame) {
  if (!(frameRate > 0.0) || !std::isfinite(frameRate)) throw std::invalid_argument("frame rate must be positive");
  if (samplesPerFrame < 1) throw std::invalid_argument("at least one sample per frame");
  BuildDescription();
}

const std::set<int32_t>& VDemoScene::OfferedTypes() {
  static const std::set<int32_t> types = {StreamInfo, SubjectInfo, DeviceInfo, DeviceOutputInfo,
                                          FrameNumber, MarkerPositions, GlobalSegmentPoses,
                                          ForceData, MomentData, CentreOfPressureData, VoltageData};
  return types;
}

bool VDemoScene::IsStaticType(int32_t type) {
  return type == StreamInfo || type == SubjectInfo || type == DeviceInfo || type == DeviceOutputInfo;
}

void VDemoScene::BuildDescription() {
  Description_.StreamValue = std::llround(FrameRate_);

  VSubjectInfo walker;
  walker.SubjectID = WalkerID;
  walker.Name = "Walker";
  for (const VSegmentDef& def : WalkerSegments) {
    VSegmentInfo segment;
    segment.Value0 = def.Parent;
    segment.SegmentID = def.ID;
    segment.Name = def.Name;
    walker.Segments.push_back(segment);
  }
  int32_t markerID = 0;
  for (const VMarkerDef& def : WalkerMarkers) {
    ++markerID;
    walker.Markers.push_back({markerID, def.Name});
    // Pairs tell which segment carries each marker (marker id, segment id).
    walker.Pairs.push_back({static_cast<uint32_t>(markerID), static_cast<uint32_t>(def.Segment)});
    Attachments_.push_back({WalkerID, markerID, def.Segment, def.Local});
  }
  Description_.Subjects.push_back(walker);

  VSubjectInfo wand;
  wand.SubjectID = WandID;
  wand.Name = "Wand";
  VSegmentInfo bar;
  bar.SegmentID = 1;
  bar.Name = "Wand";
  wand.Segments.push_back(bar);
  markerID = 0;
  for (const VMarkerDef& def : WandMarkers) {
    ++markerID;
    wand.Markers.push_back({markerID, def.Name});
    wand.Pairs.push_back({static_cast<uint32_t>(markerID), 1u});
    Attachments_.push_back({WandID, markerID, 1, def.Local});
  }
  Description_.Subjects.push_back(wand);

  // Two 500 x 400 mm plates side by side in the middle of the walkway: the
  // left foot lands on the first, the following right step on the second.
  const double origins[PlateCount] = {-640.0, -140.0};
  for (int32_t p = 0; p < PlateCount; ++p) {
    const int32_t device = p + 1;
    const int32_t firstOutput = 4 * p + 1;
    Description_.Devices.push_back({device, 0, "Force Plate " + std::to_string(device)});
    Description_.DeviceOutputs.push_back({device, firstOutput, "Force", {"Fx", "Fy", "Fz"}});
    Description_.DeviceOutputs.push_back({device, firstOutput + 1, "Moment", {"Mx", "My", "Mz"}});
    Description_.DeviceOutputs.push_back({device, firstOutput + 2, "CentreOfPressure", {"Cx", "Cy", "Cz"}});
    VDeviceOutputInfo analog{device, firstOutput + 3, "Analog", {}};
    for (int c = 1; c <= AnalogChannels; ++c) analog.ComponentNames.push_back("Ch" + std::to_string(c));
    Description_.DeviceOutputs.push_back(analog);

    VForcePlateGeometry plate;
    plate.DeviceID = device;
    plate.ForceOutputID = firstOutput;
    plate.MomentOutputID = firstOutput + 1;
    plate.CentreOfPressureOutputID = firstOutput + 2;
    plate.AnalogOutputID = firstOutput + 3;
    plate.Origin = {origins[p], 0.0, 0.0};
    plate.HalfLength = 250.0;
    plate.HalfWidth = 200.0;
    Plates_.push_back(plate);
  }
}

// ---- Motion -----------------------------------------------------------------

namespace {

// Where the walkway pass that contains `seconds` starts, as an offset added
// to the unbounded walking distance.
double PassOffset(double seconds) {
  return WalkwayStart - WalkwayLength * std::floor(Speed * seconds / WalkwayLength);
}

}  // namespace

// Foot: flat and still in stance, swung forward along a lifted arc with
// the toes dropped in swing.
VDemoScene::VFootState VDemoScene::Foot(double t, bool left) {
  const double lateral = left ? 1.0 : -1.0;
  const double footCycle = t / CycleSeconds - (left ? 0.0 : 0.5);
  const double k = std::floor(footCycle);
  const double phase = footCycle - k;
  const double strikeBase = Stride * (k + (left ? 0.0 : 0.5) + 0.3);  // under the hip at mid-stance
  VFootState foot;
  double ankleX = 0, lift = 0, pitch = 0;
  if (phase < StanceShare) {
    foot.Stance = true;
    foot.StanceFraction = phase / StanceShare;
    ankleX = strikeBase;
  } else {
    const double s = (phase - StanceShare) / (1.0 - StanceShare);
    ankleX = strikeBase + Stride * 0.5 * (1.0 - std::cos(Pi * s));
    lift = 70.0 * std::sin(Pi * s);
    pitch = 40.0 * Degrees * std::sin(Pi * s) * (1.0 - s) * (1.0 - s);
  }
  foot.Pose.Translation = {ankleX + PassOffset(t), lateral * FootHalfSpacing, AnkleHeight + lift};
  foot.Pose.Rotation = RotationY(pitch);
  return foot;
}

VDemoScene::VWalkerState VDemoScene::Walker(double t) const {
  VWalkerState state;
  state.Segments.resize(SegmentCount);
  const double offset = PassOffset(t);
  const double cycle = t / CycleSeconds;

  // Pelvis: steady progression, highest at mid-stance of either foot,
  // swaying over the standing foot, turning with the forward leg and
  // dropping on the swinging side.
  VPose& pelvis = state.Segments[Pelvis - 1];
  pelvis.Translation = {Speed * t + offset, 20.0 * std::sin(2.0 * Pi * (cycle - 0.05)),
                        HipHeight + 10.0 * std::cos(4.0 * Pi * (cycle - 0.3))};
  const double yaw = -6.0 * Degrees * std::cos(2.0 * Pi * cycle);
  const double obliquity = 4.0 * Degrees * std::sin(2.0 * Pi * (cycle - 0.05));
  pelvis.Rotation = Multiply(RotationZ(yaw), RotationX(obliquity));

  VPose& thorax = state.Segments[Thorax - 1];
  thorax.Translation = Add(pelvis.Translation, Apply(pelvis.Rotation, {0, 0, 120}));
  thorax.Rotation = Multiply(RotationZ(-0.5 * yaw), RotationY(5.0 * Degrees));

  VPose& head = state.Segments[Head - 1];
  head.Translation = Add(thorax.Translation, Apply(thorax.Rotation, {0, 0, 440}));
  head.Rotation = Multiply(thorax.Rotation, RotationY(3.0 * Degrees * std::sin(4.0 * Pi * cycle)));

  for (int side = 0; side < 2; ++side) {
    const bool left = side == 0;
    const double lateral = left ? 1.0 : -1.0;

    // Arms.
    const double swing = ArmSwing(t, left);
    VPose& upper = state.Segments[(left ? LeftUpperArm : RightUpperArm) - 1];
    upper.Translation = Add(thorax.Translation, Apply(thorax.Rotation, {0, lateral * 170.0, 390}));
    upper.Rotation = Multiply(thorax.Rotation, Multiply(RotationX(lateral * 5.0 * Degrees), RotationY(-swing)));
    VPose& fore = state.Segments[(left ? LeftForearm : RightForearm) - 1];
    fore.Translation = Add(upper.Translation, Apply(upper.Rotation, {0, 0, -UpperArmLength}));
    const double elbowFlexion = 20.0 * Degrees + 0.5 * (swing + 15.0 * Degrees);
    fore.Rotation = Multiply(upper.Rotation, RotationY(-elbowFlexion));
    VPose& hand = state.Segments[(left ? LeftHand : RightHand) - 1];
    hand.Translation = Add(fore.Translation, Apply(fore.Rotation, {0, 0, -ForearmLength}));
    hand.Rotation = Multiply(fore.Rotation, RotationX(lateral * -5.0 * Degrees));

    VFootState& foot = state.Feet[side];
    foot = Foot(t, left);
    state.Segments[(left ? LeftFoot : RightFoot) - 1] = foot.Pose;

    // Leg: the knee from the hip and the ankle, bending forward.
    const VVec3 hip = Add(pelvis.Translation, Apply(pelvis.Rotation, {0, lateral * HipHalfWidth, 0}));
    const VVec3 ankle = foot.Pose.Translation;
    const VVec3 reach = Sub(ankle, hip);
    const double distance = std::sqrt(Dot(reach, reach));
    const double clamped = std::min(std::max(distance, ThighLength - ShankLength + 1.0), ThighLength + ShankLength - 1e-6);
    const VVec3 along = Scale(reach, 1.0 / distance);
    const VVec3 forward = Normalised(Sub(VVec3{1, 0, 0}, Scale(along, along[0])));
    const double cosHip = (ThighLength * ThighLength + clamped * clamped - ShankLength * ShankLength) /
                          (2.0 * ThighLength * clamped);
    const double hipAngle = std::acos(std::min(1.0, std::max(-1.0, cosHip)));
    const VVec3 knee =
        Add(hip, Add(Scale(along, ThighLength * std::cos(hipAngle)), Scale(forward, ThighLength * std::sin(hipAngle))));
    const VVec3 sideways = Column(pelvis.Rotation, 1);

    VPose& thigh = state.Segments[(left ? LeftThigh : RightThigh) - 1];
    thigh.Translation = hip;
    thigh.Rotation = FrameFromZ(Sub(hip, knee), sideways);
    VPose& shank = state.Segments[(left ? LeftShank : RightShank) - 1];
    shank.Translation = knee;
    shank.Rotation = FrameFromZ(Sub(knee, ankle), sideways);
  }
  return state;
}

VDemoScene::VPose VDemoScene::Wand(double t) const {
  // Waved in slow circles beside the walkway, one turn every three seconds.
  const double angle = 2.0 * Pi * t / 3.0;
  VPose pose;
  pose.Translation = {1500.0 + 300.0 * std::cos(angle), 1200.0 + 300.0 * std::sin(angle),
                      1100.0 + 100.0 * std::sin(2.0 * angle)};
  pose.Rotation = Multiply(RotationZ(angle),
                           Multiply(RotationY(20.0 * Degrees * std::sin(angle)), RotationX(10.0 * Degrees * std::cos(angle))));
  return pose;
}

bool VDemoScene::Occluded(int32_t frameNumber, const VMarkerAttachment& marker) const {
  // Fingers disappear behind the body while their arm swings back; any
  // marker drops out now and then.
  if (marker.SubjectID == WalkerID && (marker.SegmentID == LeftHand || marker.SegmentID == RightHand)) {
    const double t = frameNumber / FrameRate_;
    if (ArmSwing(t, marker.SegmentID == LeftHand) < -12.0 * Degrees) return true;
  }
  const uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(frameNumber)) << 16) ^
                       (static_cast<uint64_t>(marker.SubjectID) << 8) ^ static_cast<uint64_t>(marker.MarkerID);
  return Mix(key) % 1000 < 4;
}

void VDemoScene::PlateLoad(const VForcePlateGeometry& plate, double t, VVec3& force, VVec3& moment,
                           VVec3& centre) const {
  force = {0, 0, 0};
  moment = {0, 0, 0};
  centre = plate.Origin;
  for (int side = 0; side < 2; ++side) {
    const VFootState foot = Foot(t, side == 0);
    if (!foot.Stance) continue;
    const VVec3& ankle = foot.Pose.Translation;
    if (std::fabs(ankle[0] + 0.5 * (HeelX + ToeX) - plate.Origin[0]) > plate.HalfLength ||
        std::fabs(ankle[1] - plate.Origin[1]) > plate.HalfWidth)
      continue;
    const double s = foot.StanceFraction;
    const double lateral = side == 0 ? 1.0 : -1.0;
    const double weight = BodyMass * Gravity;
    // Two humps (loading and push-off) with a dip at mid-stance; braking
    // then propulsion along the walkway; a small push towards the midline.
    force = {-0.18 * weight * std::sin(2.0 * Pi * s), -lateral * 0.05 * weight * std::sin(Pi * s),
             weight * (1.2 * std::sin(Pi * s) + 0.35 * std::sin(3.0 * Pi * s))};
    // The pressure rolls from the heel to the toe.
    centre = {ankle[0] + HeelX + (ToeX - HeelX) * s, ankle[1] + lateral * 10.0 * std::sin(Pi * s), 0.0};
    const VVec3 arm = Scale(Sub(centre, plate.Origin), 0.001);  // metres
    const double freeMoment = 2.0 * std::sin(2.0 * Pi * s);
    moment = Add(Cross(arm, force), VVec3{0, 0, freeMoment});
    return;
  }
}

// ---- Frames -----------------------------------------------------------------

VSceneFrame VDemoScene::Frame(int32_t frameNumber) const {
  VSceneFrame frame;
  frame.FrameNumber = frameNumber;
  const double t = frameNumber / FrameRate_;
  const VWalkerState walker = Walker(t);
  const VPose wand = Wand(t);

  auto poseRecord = [](int32_t segmentID, const VPose& pose) {
    VSegmentPose record{};
    record.SegmentID = segmentID;
    record.Translation = pose.Translation;
    record.Rotation = pose.Rotation;
    return record;
  };
  VSegmentPoses walkerPoses;
  walkerPoses.SubjectID = WalkerID;
  for (int32_t id = 1; id <= SegmentCount; ++id) walkerPoses.Poses.push_back(poseRecord(id, walker.Segments[id - 1]));
  VSegmentPoses wandPoses;
  wandPoses.SubjectID = WandID;
  wandPoses.Poses.push_back(poseRecord(1, wand));
  frame.SegmentPoses = {walkerPoses, wandPoses};

  for (const VMarkerAttachment& marker : Attachments_) {
    if (Occluded(frameNumber, marker)) continue;
    const VPose& pose = marker.SubjectID == WalkerID ? walker.Segments[marker.SegmentID - 1] : wand;
    VMarkerPosition record{};
    record.SubjectID = marker.SubjectID;
    record.MarkerID = marker.MarkerID;
    record.Position = Add(pose.Translation, Apply(pose.Rotation, marker.Local));
    frame.Markers.push_back(record);
  }

  const std::size_t n = static_cast<std::size_t>(SamplesPerFrame_);
  for (const VForcePlateGeometry& plate : Plates_) {
    VDeviceOutputData force{0, plate.DeviceID, plate.ForceOutputID, VRecordArray<float>(3 * n, 0.0f)};
    VDeviceOutputData moment{0, plate.DeviceID, plate.MomentOutputID, VRecordArray<float>(3 * n, 0.0f)};
    VDeviceOutputData centre{0, plate.DeviceID, plate.CentreOfPressureOutputID, VRecordArray<float>(3 * n, 0.0f)};
    VDeviceOutputData volts{0, plate.DeviceID, plate.AnalogOutputID, VRecordArray<float>(AnalogChannels * n, 0.0f)};
    for (std::size_t i = 0; i < n; ++i) {
      const double sampleTime = (frameNumber + static_cast<double>(i) / static_cast<double>(n)) / FrameRate_;
      VVec3 f, m, c;
      PlateLoad(plate, sampleTime, f, m, c);
      for (std::size_t axis = 0; axis < 3; ++axis) {
        force.Samples[axis * n + i] = static_cast<float>(f[axis]);
        moment.Samples[axis * n + i] = static_cast<float>(m[axis]);
        centre.Samples[axis * n + i] = static_cast<float>(c[axis]);
      }
      // Sensor loads: the vertical force split over the corners so that
      // they balance at the centre of pressure, the shear forces split
      // between the sensor pairs.
      const double u = (c[0] - plate.Origin[0]) / SensorOffsetX;
      const double v = (c[1] - plate.Origin[1]) / SensorOffsetY;
      const double channel[AnalogChannels] = {
          f[0] * (1 + v) / 2,          f[0] * (1 - v) / 2,          f[1] * (1 + u) / 2,
          f[1] * (1 - u) / 2,          f[2] * (1 + u) * (1 + v) / 4, f[2] * (1 - u) * (1 + v) / 4,
          f[2] * (1 - u) * (1 - v) / 4, f[2] * (1 + u) * (1 - v) / 4};
      for (std::size_t ch = 0; ch < static_cast<std::size_t>(AnalogChannels); ++ch)
        volts.Samples[ch * n + i] = static_cast<float>(channel[ch] * VoltsPerNewton);
    }
    frame.Forces.push_back(std::move(force));
    frame.Moments.push_back(std::move(moment));
    frame.CentresOfPressure.push_back(std::move(centre));
    frame.Voltages.push_back(std::move(volts));
  }
  return frame;
}

std::vector<VBytes> VDemoScene::StaticObjects(const std::set<int32_t>& requested) const {
  std::vector<VBytes> objects;
  if (requested.count(StreamInfo)) objects.push_back(EncodeStreamInfo(Description_.StreamValue));
  if (requested.count(SubjectInfo))
    for (const VSubjectInfo& subject : Description_.Subjects) objects.push_back(EncodeSubjectInfo(subject));
  if (requested.count(DeviceInfo))
    for (const VDeviceInfo& device : Description_.Devices) objects.push_back(EncodeDeviceInfo(device));
  if (requested.count(DeviceOutputInfo))
    for (const VDeviceOutputInfo& output : Description_.DeviceOutputs) objects.push_back(EncodeDeviceOutputInfo(output));
  return objects;
}

std::vector<VBytes> VDemoScene::DynamicObjects(int32_t frameNumber, const std::set<int32_t>& requested) const {
  std::vector<VBytes> objects;
  const bool wantsMeasurements = requested.count(MarkerPositions) || requested.count(GlobalSegmentPoses) ||
                                 requested.count(ForceData) || requested.count(MomentData) ||
                                 requested.count(CentreOfPressureData) || requested.count(VoltageData);
  if (requested.count(FrameNumber)) objects.push_back(EncodeFrameNumber(frameNumber));
  if (!wantsMeasurements) return objects;
  const VSceneFrame frame = Frame(frameNumber);
  if (requested.count(MarkerPositions)) objects.push_back(EncodeMarkerPositions(frame.Markers));
  if (requested.count(GlobalSegmentPoses))
    for (const VSegmentPoses& group : frame.SegmentPoses) objects.push_back(EncodeGlobalSegmentPoses(group));
  const std::pair<int32_t, const std::vector<VDeviceOutputData>*> kinds[] = {
      {ForceData, &frame.Forces},
      {MomentData, &frame.Moments},
      {CentreOfPressureData, &frame.CentresOfPressure},
      {VoltageData, &frame.Voltages}};
  for (const auto& kind : kinds)
    if (requested.count(kind.first))
      for (const VDeviceOutputData& data : *kind.second) objects.push_back(EncodeDeviceOutputData(kind.first, data));
  return objects;
}

VBytes VDemoScene::StaticPacket(const std::set<int32_t>& requested) const {
  return EncodePacket(StaticObjects(requested));
}

VBytes VDemoScene::DynamicPacket(int32_t frameNumber, const std::set<int32_t>& requested) const {
  return EncodePacket(DynamicObjects(frameNumber, requested));
}

VBytes VDemoScene::FramePacket(int32_t frameNumber, const std::set<int32_t>& requested, bool withStatic) const {
  std::vector<VBytes> objects;
  if (withStatic) objects = StaticObjects(requested);
  std::vector<VBytes> dynamic = DynamicObjects(frameNumber, requested);
  objects.insert(objects.end(), std::make_move_iterator(dynamic.begin()), std::make_move_iterator(dynamic.end()));
  return EncodePacket(objects);
}

}  // namespace LumoraQSSim
