// The simulator's built-in demo scene: a walking subject, a waved rigid
// wand and two force plates in the walkway, computed frame by frame.
//
// Units and axes: millimetres, newtons, newton metres and volts; the world is
// Z-up with the walkway along +X (the subject walks towards +X, its left is
// +Y). A segment pose maps segment coordinates to world coordinates:
// world = Translation + R * local, with R stored row by row (element of row r
// and column c at index 3r + c).
//
// Time: frame N is at N / FrameRate seconds. The motion repeats every six
// seconds: the walker crosses the 6 m walkway in six one-second gait cycles
// and starts again at its beginning.
//
// Force plate data per frame: SamplesPerFrame samples per component, sample
// i at (N + i / SamplesPerFrame) / FrameRate seconds, stored component by
// component (component c at c * SamplesPerFrame ... c * SamplesPerFrame +
// SamplesPerFrame - 1). Forces are the ground reaction on the subject
// (vertical force positive while a foot stands on the plate), moments are
// taken about the plate's origin (the centre of its top surface), and the
// centre of pressure is given in world coordinates (the plate's origin while
// the plate is unloaded). The eight analog channels of a plate are the
// voltages of its sensors: Ch1 = Fx of sensors 1+2, Ch2 = Fx of sensors 3+4,
// Ch3 = Fy of sensors 1+4, Ch4 = Fy of sensors 2+3, Ch5..Ch8 = Fz of sensors
// 1..4, each times VoltsPerNewton. The sensors sit at the plate corners
// (+x+y, -x+y, -x-y, +x-y for sensors 1..4, at SensorOffsetX/Y from the
// origin).
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "serve/wire_encoder.h"
#include "streamio/dynamic_objects.h"
#include "streamio/static_objects.h"

namespace LumoraQSSim {

using LumoraQSServe::VBytes;

using VVec3 = std::array<double, 3>;
using VMat3 = std::array<double, 9>;  // row by row

// Where a marker sits: fixed in the coordinates of one segment.
struct VMarkerAttachment {
  int32_t SubjectID = 0;
  int32_t MarkerID = 0;
  int32_t SegmentID = 0;
  VVec3 Local{};
};

// A force plate's place in the world: a rectangle in the floor (z = 0).
struct VForcePlateGeometry {
  int32_t DeviceID = 0;
  int32_t ForceOutputID = 0;
  int32_t MomentOutputID = 0;
  int32_t CentreOfPressureOutputID = 0;
  int32_t AnalogOutputID = 0;
  VVec3 Origin{};         // centre of the top surface
  double HalfLength = 0;  // along X
  double HalfWidth = 0;   // along Y
};

// One frame of the scene, decoded-object shaped.
struct VSceneFrame {
  int32_t FrameNumber = 0;
  LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerPosition> Markers;        // occluded ones left out
  std::vector<LumoraQSStream::VSegmentPoses> SegmentPoses;      // one group per subject
  std::vector<LumoraQSStream::VDeviceOutputData> Forces;        // one per plate
  std::vector<LumoraQSStream::VDeviceOutputData> Moments;
  std::vector<LumoraQSStream::VDeviceOutputData> CentresOfPressure;
  std::vector<LumoraQSStream::VDeviceOutputData> Voltages;
};

class VDemoScene {
 public:
  // Identifiers of the demo scene.
  static constexpr int32_t WalkerID = 1;
  static constexpr int32_t WandID = 2;
  static constexpr int32_t PlateCount = 2;
  static constexpr int32_t AnalogChannels = 8;
  static constexpr double VoltsPerNewton = 0.005;
  static constexpr double SensorOffsetX = 210.0;
  static constexpr double SensorOffsetY = 170.0;
  static constexpr double BodyMass = 75.0;  // kilograms

  // `frameRate` fixes the scene's time base (frames per second, > 0);
  // `samplesPerFrame` the analog samples per component and frame (>= 1).
  explicit VDemoScene(double frameRate = 100.0, int samplesPerFrame = 10);

  double FrameRate() const { return FrameRate_; }
  int SamplesPerFrame() const { return SamplesPerFrame_; }

  // The scene description as a client decodes it.
  const LumoraQSStream::VStaticObjects& Description() const { return Description_; }
  const std::vector<VMarkerAttachment>& Attachments() const { return Attachments_; }
  const std::vector<VForcePlateGeometry>& Plates() const { return Plates_; }

  // The object types this scene can fill: 1 to 6 and 9 to 13.
  static const std::set<int32_t>& OfferedTypes();
  static bool IsStaticType(int32_t type);

  // The frame's measurements.
  VSceneFrame Frame(int32_t frameNumber) const;

  // Objects of the requested types only, in catalogue order.
  std::vector<VBytes> StaticObjects(const std::set<int32_t>& requested) const;
  std::vector<VBytes> DynamicObjects(int32_t frameNumber, const std::set<int32_t>& requested) const;
  // Whole packets: the static objects; frame N's dynamic objects; or both in
  // one packet (static first), as a server sends them after a change.
  VBytes StaticPacket(const std::set<int32_t>& requested) const;
  VBytes DynamicPacket(int32_t frameNumber, const std::set<int32_t>& requested) const;
  VBytes FramePacket(int32_t frameNumber, const std::set<int32_t>& requested, bool withStatic) const;

 private:
  struct VPose {
    VVec3 Translation{};
    VMat3 Rotation{};
  };
  struct VFootState {
    VPose Pose;
    bool Stance = false;
    double StanceFraction = 0;  // 0 at heel strike, 1 at toe off
  };
  struct VWalkerState {
    std::vector<VPose> Segments;  // index = SegmentID - 1
    VFootState Feet[2];           // left, right
  };

  void BuildDescription();
  static VFootState Foot(double seconds, bool left);
  VWalkerState Walker(double seconds) const;
  VPose Wand(double seconds) const;
  bool Occluded(int32_t frameNumber, const VMarkerAttachment& marker) const;
  // Ground reaction of one plate at a time: force, moment about the plate's
  // origin, centre of pressure in world coordinates.
  void PlateLoad(const VForcePlateGeometry& plate, double seconds, VVec3& force, VVec3& moment,
                 VVec3& centre) const;

  double FrameRate_;
  int SamplesPerFrame_;
  LumoraQSStream::VStaticObjects Description_;
  std::vector<VMarkerAttachment> Attachments_;
  std::vector<VForcePlateGeometry> Plates_;
};

// Small rotation helpers, shared with the tests of the scene.
VMat3 Multiply(const VMat3& a, const VMat3& b);
VVec3 Apply(const VMat3& r, const VVec3& v);
VMat3 RotationX(double radians);
VMat3 RotationY(double radians);
VMat3 RotationZ(double radians);

}  // namespace LumoraQSSim
