#include "tools/export/sample_table.h"

namespace QSExport {

VSampleTable::VSampleTable(std::FILE* out, const VScan& scan, const VTableSettings& settings)
    : Table(out, settings.Delimiter), Scan(scan), Settings(settings) {}

void VSampleTable::Header() {
  Table.Line(MetadataLine(Scan, Settings, true));
  Table.Text("frame");
  Table.Text("sample");
  Table.Text("capture_time [s]");
  for (const VChannel& channel : Scan.Channels) Table.Text(WithUnit(channel.Label, Settings.Units.Of(channel.Quantity)));
  Table.EndRow();
}

void VSampleTable::Rows(VFrameQueries& q) {
  int32_t frame = 0;
  q.GetFrameNumber(frame);
  const int n = Scan.SamplesPerFrame;
  Samples.Gather(q, Scan.Channels, n);
  if (Samples.OtherCount) ++Mismatched;
  const std::size_t width = Scan.Channels.size();
  const double start = CaptureTime(Scan, frame);
  const double step = 1.0 / (Scan.Rate * n);
  for (int i = 0; i < n; ++i) {
    Table.Integer(frame);
    Table.Integer(i);
    Table.Number(start + i * step);
    const float* values = Samples.Values.data() + static_cast<std::size_t>(i) * width;
    for (std::size_t c = 0; c < width; ++c) {
      if (Samples.Present[c]) {
        Table.Number(values[c]);
      } else {
        Table.Empty(1);
      }
    }
    Table.EndRow();
  }
}

}  // namespace QSExport
