#include "bench/heavy_scene.h"

#include <cmath>
#include <cstring>

#include "serve/wire_encoder.h"

namespace QSBench {

using namespace LumoraQSStream;
using namespace LumoraQSServe;

std::string SubjectName(int subject) { return "Subject" + std::to_string(subject + 1); }
std::string SegmentName(int segment) { return "Segment" + std::to_string(segment + 1); }
std::string MarkerName(int marker) { return "Marker" + std::to_string(marker + 1); }

VHeavyScene::VHeavyScene() {
  Description_.StreamValue = 7;
  for (int s = 0; s < Subjects; ++s) {
    VSubjectInfo subject;
    subject.SubjectID = s + 1;
    subject.Name = SubjectName(s);
    for (int g = 0; g < SegmentsPerSubject; ++g) {
      VSegmentInfo segment;
      segment.SegmentID = g + 1;
      segment.Value0 = g;  // parent index
      segment.Name = SegmentName(g);
      subject.Segments.push_back(segment);
    }
    for (int m = 0; m < MarkersPerSubject; ++m) {
      subject.Markers.push_back({m + 1, MarkerName(m)});
    }
    subject.Pairs.push_back({1, 2});
    Description_.Subjects.push_back(std::move(subject));
  }
  for (int p = 0; p < ForcePlates; ++p) {
    Description_.Devices.push_back({PlateDeviceID(p), 0, "ForcePlate" + std::to_string(p + 1)});
    Description_.DeviceOutputs.push_back({PlateDeviceID(p), ForceOutputID(p), "Force", {"Fx", "Fy", "Fz"}});
    Description_.DeviceOutputs.push_back({PlateDeviceID(p), MomentOutputID(p), "Moment", {"Mx", "My", "Mz"}});
    Description_.DeviceOutputs.push_back({PlateDeviceID(p), CentreOutputID(p), "CentreOfPressure", {"Cx", "Cy", "Cz"}});
    VDeviceOutputInfo analog{PlateDeviceID(p), AnalogOutputID(p), "Analog", {}};
    for (int c = 0; c < AnalogChannels; ++c) analog.ComponentNames.push_back("Ch" + std::to_string(c + 1));
    Description_.DeviceOutputs.push_back(std::move(analog));
  }
  StaticPacket_ = EncodePacket(StaticObjects());
}

const std::set<int32_t>& VHeavyScene::Types() {
  static const std::set<int32_t> types = {1, 2, 3, 4, 5, 6, 9, 10, 11, 12, 13};
  return types;
}

VDynamicObjects VHeavyScene::Frame(int32_t frameNumber) const {
  VDynamicObjects frame;
  frame.FrameNumber = frameNumber;
  const double t = frameNumber * 0.01;
  for (int s = 0; s < Subjects; ++s) {
    for (int m = 0; m < MarkersPerSubject; ++m) {
      VMarkerPosition position{};
      position.SubjectID = s + 1;
      position.MarkerID = m + 1;
      position.Position = {100.0 * s + t, 10.0 * m, 1000.0 + std::sin(t + m)};
      frame.MarkerPositions.push_back(position);
    }
    VSegmentPoses poses;
    poses.SubjectID = s + 1;
    for (int g = 0; g < SegmentsPerSubject; ++g) {
      const double a = 0.1 * g + t;
      VSegmentPose pose{};
      pose.SegmentID = g + 1;
      pose.Translation = {100.0 * s + t, 50.0 * g, 900.0};
      pose.Rotation = {std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1};
      poses.Poses.push_back(pose);
    }
    frame.GlobalSegmentPoses.push_back(std::move(poses));
  }
  auto samples = [&](int32_t device, int32_t output, int components, float base) {
    VDeviceOutputData data;
    data.DeviceID = device;
    data.OutputID = output;
    for (int i = 0; i < components * SamplesPerComponent; ++i) {
      data.Samples.push_back(base + static_cast<float>(i) + static_cast<float>(t));
    }
    return data;
  };
  for (int p = 0; p < ForcePlates; ++p) {
    frame.Forces.push_back(samples(PlateDeviceID(p), ForceOutputID(p), 3, 10.0f));
    frame.Moments.push_back(samples(PlateDeviceID(p), MomentOutputID(p), 3, 20.0f));
    frame.CentresOfPressure.push_back(samples(PlateDeviceID(p), CentreOutputID(p), 3, 30.0f));
    frame.Voltages.push_back(samples(PlateDeviceID(p), AnalogOutputID(p), AnalogChannels, 0.5f));
  }
  return frame;
}

std::vector<VBytes> VHeavyScene::StaticObjects() const {
  std::vector<VBytes> objects;
  objects.push_back(EncodeStreamInfo(Description_.StreamValue));
  for (const VSubjectInfo& subject : Description_.Subjects) objects.push_back(EncodeSubjectInfo(subject));
  for (const VDeviceInfo& device : Description_.Devices) objects.push_back(EncodeDeviceInfo(device));
  for (const VDeviceOutputInfo& output : Description_.DeviceOutputs) {
    objects.push_back(EncodeDeviceOutputInfo(output));
  }
  return objects;
}

std::vector<VBytes> VHeavyScene::DynamicObjects(int32_t frameNumber) const {
  const VDynamicObjects frame = Frame(frameNumber);
  std::vector<VBytes> objects;
  objects.push_back(EncodeFrameNumber(frame.FrameNumber));  // first: see FrameNumberOffset
  objects.push_back(EncodeMarkerPositions(frame.MarkerPositions));
  for (const VSegmentPoses& poses : frame.GlobalSegmentPoses) objects.push_back(EncodeGlobalSegmentPoses(poses));
  for (const VDeviceOutputData& data : frame.Forces) objects.push_back(EncodeForceData(data));
  for (const VDeviceOutputData& data : frame.Moments) objects.push_back(EncodeMomentData(data));
  for (const VDeviceOutputData& data : frame.CentresOfPressure) {
    objects.push_back(EncodeCentreOfPressureData(data));
  }
  for (const VDeviceOutputData& data : frame.Voltages) objects.push_back(EncodeVoltageData(data));
  return objects;
}

VBytes VHeavyScene::DynamicPacket(int32_t frameNumber) const { return EncodePacket(DynamicObjects(frameNumber)); }

VBytes VHeavyScene::FirstPacket(int32_t frameNumber) const {
  std::vector<VBytes> objects = StaticObjects();
  for (VBytes& object : DynamicObjects(frameNumber)) objects.push_back(std::move(object));
  return EncodePacket(objects);
}

void VHeavyScene::SetFrameNumber(VBytes& dynamicPacket, int32_t frameNumber) {
  for (int i = 0; i < 4; ++i) {
    dynamicPacket[FrameNumberOffset + i] = static_cast<uint8_t>((static_cast<uint32_t>(frameNumber) >> (8 * i)) & 0xFF);
  }
}

}  // namespace QSBench
