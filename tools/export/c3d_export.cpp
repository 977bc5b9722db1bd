#include "tools/export/c3d_export.h"

#include <string>
#include <vector>

#include "tools/c3d/c3d_writer.h"
#include "tools/export/frame_values.h"
#include "tools/export/frame_walk.h"
#include "tools/export/scan.h"
#include "tools/output/output_file.h"

namespace QSExport {

namespace {

// Buffer of the file's stream.
constexpr std::size_t FileBufferBytes = 1 << 20;

// "Plate1:Fx": the table's column name with the colon that separates a
// point's subject from its marker.
std::string ChannelLabel(const VChannel& channel) {
  std::string label = channel.Label;
  const std::size_t slash = label.find('/');
  if (slash != std::string::npos) label[slash] = ':';
  return label;
}

std::string ChannelDescription(const VChannel& channel) {
  static const char* const Kinds[] = {"force", "moment", "centre of pressure", "analog voltage"};
  static const char* const Axes[] = {" x", " y", " z"};
  std::string text = Kinds[channel.Kind];
  text += channel.Kind == VChannel::Analog ? " channel " + std::to_string(channel.Component) : Axes[channel.Component % 3];
  return text + ", device " + std::to_string(channel.DeviceID);
}

// The file's layout from the scan: points, channels, rate, frame range and
// the axes the data are given in.
QSC3D::VLayout LayoutOf(const VScan& scan, const VTableSettings& settings) {
  QSC3D::VLayout layout;
  for (const VItemColumn& marker : scan.Columns.Markers) layout.PointLabels.push_back(marker.Subject + ":" + marker.Item);
  layout.PointUnits = settings.Units.Length;
  layout.PointRate = static_cast<float>(scan.Rate);
  for (const VChannel& channel : scan.Channels) {
    layout.Analog.push_back({ChannelLabel(channel), ChannelDescription(channel), settings.Units.Of(channel.Quantity)});
  }
  layout.AnalogSamplesPerFrame = scan.Channels.empty() ? 0 : static_cast<uint32_t>(scan.SamplesPerFrame);
  layout.FirstFrame = scan.FirstFrame;
  layout.Frames = static_cast<uint64_t>(static_cast<int64_t>(scan.LastFrame) - scan.FirstFrame + 1);
  // The screen's right and up: the chosen up axis is up.
  layout.XScreen = "+X";
  layout.YScreen = settings.YUp ? "+Y" : "+Z";
  layout.Software = "QS qs-export";
  return layout;
}

}  // namespace

VExportResult ExportC3D(const VExportOptions& options, std::FILE* messages) {
  VExportResult result;
  result.Status = 1;
  const char* input = options.Input.c_str();
  if (options.Output.empty()) {
    std::fprintf(messages, "qs-export: a C3D file is binary: name it with -o FILE\n");
    return result;
  }
  if (!options.FullRate.empty()) {
    std::fprintf(messages, "qs-export: --analog names a table; a C3D file holds every sample itself\n");
    return result;
  }
  // The buffer outlives the file, which flushes into it when it is closed.
  std::vector<char> buffer(FileBufferBytes);
  QSTools::VOutputFile file;
  std::FILE* out = nullptr;
  if (!file.Create(options.Output, {options.Input}) || (out = file.Stream()) == nullptr) {
    std::fprintf(messages, "qs-export: %s\n", file.Error().c_str());
    return result;
  }
  std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());

  VScan scan;
  std::string error;
  if (!ScanRecording(options.Input, options.Rate, scan, error)) {
    std::fprintf(messages, "qs-export: %s: %s\n", input, error.c_str());
    return result;
  }
  if (scan.RateEstimated) std::fprintf(messages, "qs-export: %s\n", RateReport(scan).c_str());

  QSC3D::VWriter writer;
  const QSC3D::VLayout layout = LayoutOf(scan, options.Settings);
  if (!writer.Begin(out, layout)) {
    std::fprintf(messages, "qs-export: %s: cannot be written as C3D: %s\n", input, writer.Error().c_str());
    return result;
  }

  // Frames in frame-number order; a gap is filled with frames not received,
  // a frame number already written (a repeat, or one going back) is left out.
  VFrameWalk walk;
  VFrameQueries& queries = walk.Queries();
  if (options.Settings.LeftHanded) queries.SetLeftHandRule();
  if (options.Settings.YUp) queries.SetYUp();
  VMarkerPositions markers;
  VChannelSamples samples;
  std::vector<float> points(3 * layout.PointLabels.size());
  int64_t next = scan.FirstFrame;
  uint64_t filled = 0, repeated = 0, otherCounts = 0;
  bool written = true;
  auto fillTo = [&](int64_t frame) {
    for (; written && next < frame; ++next, ++filled) written = writer.Frame(nullptr, nullptr, nullptr);
  };
  const bool walked = walk.Run(options.Input, [&](int64_t, bool) {
    int32_t frame = 0;
    queries.GetFrameNumber(frame);
    if (frame < next) {
      ++repeated;
      return;
    }
    fillTo(frame);
    markers.Gather(queries, scan.Columns.Markers);
    for (std::size_t m = 0; m < markers.Positions.size(); ++m) {
      for (std::size_t axis = 0; axis < 3; ++axis) points[3 * m + axis] = static_cast<float>(markers.Positions[m][axis]);
    }
    samples.Gather(queries, scan.Channels, scan.SamplesPerFrame);
    if (samples.OtherCount) ++otherCounts;
    if (written) written = writer.Frame(points.data(), markers.Valid.data(), samples.Values.data());
    ++next;
    ++result.Frames;
  });
  if (!walked) {
    std::fprintf(messages, "qs-export: %s: %s\n", input, walk.Error().c_str());
    return result;
  }
  fillTo(static_cast<int64_t>(scan.LastFrame) + 1);
  if (!written || !writer.Finish()) {
    std::fprintf(messages, "qs-export: %s\n", writer.Error().c_str());
    return result;
  }
  if (!file.Commit()) {
    std::fprintf(messages, "qs-export: %s\n", file.Error().c_str());
    return result;
  }
  std::fprintf(messages, "qs-export: %llu C3D frames (%d to %d) at %g Hz, %zu points, %zu analog channels at %u samples per frame\n",
               static_cast<unsigned long long>(layout.Frames), scan.FirstFrame, scan.LastFrame, scan.Rate,
               layout.PointLabels.size(), layout.Analog.size(), layout.AnalogSamplesPerFrame);
  if (filled > 0) {
    std::fprintf(messages,
                 "qs-export: %llu frames were not received: written with every point invalid and zero analog samples\n",
                 static_cast<unsigned long long>(filled));
  }
  if (repeated > 0) {
    std::fprintf(messages, "qs-export: %llu frames repeated an earlier frame number and were left out\n",
                 static_cast<unsigned long long>(repeated));
  }
  if (otherCounts > 0) {
    std::fprintf(messages,
                 "qs-export: in %llu frames some force plate output held other than %d samples: its samples of "
                 "those frames are zero\n",
                 static_cast<unsigned long long>(otherCounts), scan.SamplesPerFrame);
  }
  for (const std::string& label : writer.CutLabels()) {
    std::fprintf(messages, "qs-export: the label \"%s\" is longer than C3D allows and was cut\n", label.c_str());
  }
  walk.ReportCutShort(messages, options.Input, result.Frames);
  result.Status = 0;
  return result;
}

}  // namespace QSExport
