// VColumns: every segment, marker and force plate a recording names, in the
// order the names first appear; and VChannel, one sampled quantity of a
// force plate (a force, moment or centre-of-pressure component, or an
// analog channel), the unit of a full-rate column.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "api/frame_queries.h"
#include "tools/units/units.h"

namespace QSExport {

struct VItemColumn {
  std::string Subject, Item;  // subject and segment, or subject and marker
  bool operator<(const VItemColumn& o) const { return Subject < o.Subject || (Subject == o.Subject && Item < o.Item); }
};

struct VPlateColumns {
  int32_t DeviceID = 0;
  int32_t Channels = 0;  // the most analog channels any scene gave it
};

class VColumns {
 public:
  // Takes in the names of the queries' current frame.
  void Collect(VFrameQueries& q);

  std::vector<VItemColumn> Segments;
  std::vector<VItemColumn> Markers;
  std::vector<VPlateColumns> Plates;

 private:
  static void Add(std::vector<VItemColumn>& list, std::set<VItemColumn>& seen, VItemColumn column);
  std::set<VItemColumn> SegmentSeen;
  std::set<VItemColumn> MarkerSeen;
};

// What a column measures, for its unit.
using QSUnits::EQuantity;

// One sampled quantity of a force plate.
struct VChannel {
  enum EKind { Force = 0, Moment = 1, CentreOfPressure = 2, Analog = 3 };
  int32_t DeviceID = 0;
  EKind Kind = Force;
  // The vector component (0 to 2) of a plate vector; the channel (from 1)
  // of an analog output.
  uint32_t Component = 0;
  std::string Label;  // "Plate1/Fx", "Plate1/Ch3"
  EQuantity Quantity = EQuantity::Force;
};

// Every plate's Fx Fy Fz Mx My Mz Cx Cy Cz, then its Ch1 .. Chn, plate by
// plate.
std::vector<VChannel> ChannelsOf(const VColumns& columns);

}  // namespace QSExport
