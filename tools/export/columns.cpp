#include "tools/export/columns.h"

#include <algorithm>
#include <utility>

namespace QSExport {

void VColumns::Add(std::vector<VItemColumn>& list, std::set<VItemColumn>& seen, VItemColumn column) {
  if (seen.insert(column).second) list.push_back(std::move(column));
}

void VColumns::Collect(VFrameQueries& q) {
  int32_t subjects = 0;
  q.GetSubjectCount(subjects);
  for (int32_t s = 1; s <= subjects; ++s) {
    std::string subject;
    q.GetSubjectName(static_cast<uint32_t>(s), subject);
    int32_t count = 0;
    q.GetSegmentCount(subject, count);
    for (int32_t i = 1; i <= count; ++i) {
      std::string name;
      q.GetSegmentName(subject, static_cast<uint32_t>(i), name);
      Add(Segments, SegmentSeen, {subject, name});
    }
    q.GetMarkerCount(subject, count);
    for (int32_t i = 1; i <= count; ++i) {
      std::string name;
      q.GetMarkerName(subject, static_cast<uint32_t>(i), name);
      Add(Markers, MarkerSeen, {subject, name});
    }
  }
  int32_t plates = 0;
  q.GetForcePlateCount(plates);
  for (int32_t p = 1; p <= plates; ++p) {
    VPlateColumns plate;
    q.GetForcePlateID(static_cast<uint32_t>(p), plate.DeviceID);
    q.GetNumberOfAnalogChannels(plate.DeviceID, plate.Channels);
    bool known = false;
    for (VPlateColumns& seen : Plates) {
      if (seen.DeviceID != plate.DeviceID) continue;
      seen.Channels = std::max(seen.Channels, plate.Channels);
      known = true;
    }
    if (!known) Plates.push_back(plate);
  }
}

std::vector<VChannel> ChannelsOf(const VColumns& columns) {
  static const char* const Names[3][3] = {{"Fx", "Fy", "Fz"}, {"Mx", "My", "Mz"}, {"Cx", "Cy", "Cz"}};
  static const EQuantity Quantities[3] = {EQuantity::Force, EQuantity::Moment, EQuantity::Length};
  std::vector<VChannel> channels;
  for (const VPlateColumns& plate : columns.Plates) {
    const std::string prefix = "Plate" + std::to_string(plate.DeviceID) + "/";
    for (int kind = 0; kind < 3; ++kind) {
      for (uint32_t axis = 0; axis < 3; ++axis) {
        channels.push_back({plate.DeviceID, static_cast<VChannel::EKind>(kind), axis, prefix + Names[kind][axis],
                            Quantities[kind]});
      }
    }
    for (int32_t c = 1; c <= plate.Channels; ++c) {
      channels.push_back({plate.DeviceID, VChannel::Analog, static_cast<uint32_t>(c), prefix + "Ch" + std::to_string(c),
                          EQuantity::Voltage});
    }
  }
  return channels;
}

}  // namespace QSExport
