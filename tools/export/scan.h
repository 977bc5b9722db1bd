// The first pass over a recording: what an export needs to know before it
// writes anything. Every column (segments, markers, plates with their
// channels), the frame numbers, the samples per frame of the plates'
// outputs, and the frame rate (given, or estimated by VRateFit).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/export/columns.h"

namespace QSExport {

struct VScan {
  VColumns Columns;
  std::vector<VChannel> Channels;  // ChannelsOf(Columns)
  uint64_t Frames = 0;
  // The smallest and largest frame number recorded (capture times count
  // from FirstFrame).
  int32_t FirstFrame = 0;
  int32_t LastFrame = 0;
  // The most samples per component that any plate output or analog output
  // held in one frame (0 without plates): the full-rate table's samples per
  // frame. MixedSamples: some output held another number in some frame.
  int SamplesPerFrame = 0;
  bool MixedSamples = false;
  double Rate = 0;  // frames per second
  bool RateEstimated = false;
  double SpanSeconds = 0;  // receive time from the first frame to the last
  std::string CutShort;    // why the recording ends early, or ""
};

// Scans the recording at `path`. `rate` > 0 is taken as the frame rate;
// 0 has it estimated. False with `error` when the recording is refused,
// holds no frame, or (to be estimated) gives no rate.
[[nodiscard]] bool ScanRecording(const std::string& path, double rate, VScan& scan, std::string& error);

// "100.00 Hz estimated from 1000 frames over 9.99 s (use --rate to set it)"
std::string RateReport(const VScan& scan);

// (frame - first frame) / rate, in seconds.
inline double CaptureTime(const VScan& scan, int32_t frameNumber) {
  return static_cast<double>(static_cast<int64_t>(frameNumber) - scan.FirstFrame) / scan.Rate;
}

}  // namespace QSExport
