#include "tools/export/frame_table.h"

#include <array>
#include <string>

namespace QSExport {

namespace {

// Force plate values are 32-bit samples widened to double (and at most
// negated by the axis conversion): written as the 32-bit values they are.
void WritePlateVector(VTable& table, bool found, const std::array<double, 3>& v) {
  if (!found) return table.Empty(3);
  for (double value : v) table.Number(static_cast<float>(value));
}

}  // namespace

VFrameTable::VFrameTable(std::FILE* out, const VScan& scan, const VTableSettings& settings)
    : Table(out, settings.Delimiter), Scan(scan), Settings(settings) {}

void VFrameTable::Header() {
  Table.Line(MetadataLine(Scan, Settings, false));
  const std::string& length = Settings.Units.Length;
  Table.Text("frame");
  Table.Text("time [s]");
  Table.Text("capture_time [s]");
  for (const VItemColumn& c : Scan.Columns.Segments) {
    for (const char* part : {"tx", "ty", "tz"}) Table.Text(ColumnName(c.Subject, c.Item, part, length));
    for (const char* part : {"qx", "qy", "qz", "qw"}) Table.Text(ColumnName(c.Subject, c.Item, part, ""));
  }
  for (const VItemColumn& c : Scan.Columns.Markers) {
    for (const char* part : {"x", "y", "z"}) Table.Text(ColumnName(c.Subject, c.Item, part, length));
  }
  for (const VChannel& channel : Scan.Channels) Table.Text(WithUnit(channel.Label, Settings.Units.Of(channel.Quantity)));
  Table.EndRow();
}

void VFrameTable::Row(VFrameQueries& q, int64_t receiveNs) {
  int32_t frame = 0;
  q.GetFrameNumber(frame);
  Table.Integer(frame);
  Table.Seconds(receiveNs);
  Table.Number(CaptureTime(Scan, frame));
  for (const VItemColumn& c : Scan.Columns.Segments) {
    std::array<double, 3> t{};
    std::array<double, 4> quaternion{};
    bool occluded = true;
    if (q.GetGlobalSegmentTranslation(c.Subject, c.Item, t, occluded) && !occluded &&
        q.GetGlobalSegmentRotationQuaternion(c.Subject, c.Item, quaternion, occluded)) {
      for (double value : t) Table.Number(value);
      for (double value : q.RotationToOutputAxes(quaternion)) Table.Number(value);
    } else {
      Table.Empty(7);
    }
  }
  for (const VItemColumn& c : Scan.Columns.Markers) {
    std::array<double, 3> p{};
    bool occluded = true;
    if (q.GetGlobalMarkerTranslation(c.Subject, c.Item, p, occluded) && !occluded) {
      for (double value : p) Table.Number(value);
    } else {
      Table.Empty(3);
    }
  }
  for (const VPlateColumns& plate : Scan.Columns.Plates) {
    std::array<double, 3> v{};
    WritePlateVector(Table, q.GetForceVector(plate.DeviceID, v), v);
    WritePlateVector(Table, q.GetMomentVector(plate.DeviceID, v), v);
    WritePlateVector(Table, q.GetCentreOfPressure(plate.DeviceID, v), v);
    for (int32_t ch = 1; ch <= plate.Channels; ++ch) {
      double volts = 0;
      if (q.GetAnalogChannelVoltage(plate.DeviceID, static_cast<uint32_t>(ch), volts)) {
        Table.Number(static_cast<float>(volts));
      } else {
        Table.Empty(1);
      }
    }
  }
  Table.EndRow();
}

}  // namespace QSExport
