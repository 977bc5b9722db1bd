#include "tools/export/scan.h"

#include <algorithm>
#include <cstdio>

#include "tools/export/frame_walk.h"
#include "tools/export/rate_fit.h"

namespace QSExport {

namespace {

// Takes in the number of samples per component of every plate output of
// the current frame.
void CountSamples(VFrameQueries& q, const VColumns& columns, VScan& scan) {
  std::vector<std::array<float, 3>> vectors;
  auto take = [&scan](std::size_t count) {
    if (count == 0) return;
    const int n = static_cast<int>(count);
    if (scan.SamplesPerFrame != 0 && n != scan.SamplesPerFrame) scan.MixedSamples = true;
    scan.SamplesPerFrame = std::max(scan.SamplesPerFrame, n);
  };
  for (const VPlateColumns& plate : columns.Plates) {
    for (const VFrameLookups::EPlateData list : {VFrameLookups::Forces, VFrameLookups::Moments,
                                                 VFrameLookups::CentresOfPressure}) {
      if (q.GetPlateSamples(plate.DeviceID, list, vectors)) take(vectors.size());
    }
    const float* samples = nullptr;
    std::size_t count = 0;
    if (plate.Channels > 0 && q.GetAnalogSamples(plate.DeviceID, 1, samples, count)) take(count);
  }
}

}  // namespace

bool ScanRecording(const std::string& path, double rate, VScan& scan, std::string& error) {
  scan = VScan();
  VRateFit fit;
  VFrameWalk walk;
  VFrameQueries& q = walk.Queries();
  const bool read = walk.Run(path, [&](int64_t receiveNs, bool newScene) {
    if (newScene || scan.Frames == 0) scan.Columns.Collect(q);
    int32_t frame = 0;
    q.GetFrameNumber(frame);
    scan.FirstFrame = scan.Frames == 0 ? frame : std::min(scan.FirstFrame, frame);
    scan.LastFrame = scan.Frames == 0 ? frame : std::max(scan.LastFrame, frame);
    ++scan.Frames;
    fit.Add(frame, receiveNs);
    CountSamples(q, scan.Columns, scan);
  });
  if (!read) {
    error = walk.Error();
    return false;
  }
  scan.CutShort = walk.CutShort();
  if (scan.Frames == 0) {
    error = "the recording holds no frame";
    return false;
  }
  scan.Channels = ChannelsOf(scan.Columns);
  scan.SpanSeconds = fit.SpanSeconds();
  if (rate > 0) {
    scan.Rate = rate;
    return true;
  }
  std::string why;
  if (!fit.Rate(scan.Rate, why)) {
    error = "cannot estimate the frame rate: " + why + "; give it with --rate HZ";
    return false;
  }
  scan.RateEstimated = true;
  return true;
}

std::string RateReport(const VScan& scan) {
  char text[160];
  std::snprintf(text, sizeof text, "%.2f Hz estimated from %llu frames over %.2f s (use --rate to set it)", scan.Rate,
                static_cast<unsigned long long>(scan.Frames), scan.SpanSeconds);
  return text;
}

}  // namespace QSExport
