// Builders for the fixed-size records and device samples that tests put into
// frames: every field not named is zero.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "streamio/dynamic_objects.h"

inline LumoraQSStream::VMarkerPosition MakeMarkerPosition(int32_t subjectID, int32_t markerID,
                                                          std::array<double, 3> position) {
  LumoraQSStream::VMarkerPosition record{};
  record.SubjectID = subjectID;
  record.MarkerID = markerID;
  record.Position = position;
  return record;
}

inline LumoraQSStream::VSegmentPose MakePose(int32_t segmentID, std::array<double, 3> translation,
                                             std::array<double, 9> rotation) {
  LumoraQSStream::VSegmentPose pose{};
  pose.SegmentID = segmentID;
  pose.Translation = translation;
  pose.Rotation = rotation;
  return pose;
}

inline LumoraQSStream::VDeviceOutputData MakeData(int32_t deviceID, int32_t outputID,
                                                  const std::vector<float>& samples) {
  LumoraQSStream::VDeviceOutputData data;
  data.DeviceID = deviceID;
  data.OutputID = outputID;
  data.Samples.assign(samples.begin(), samples.end());
  return data;
}
