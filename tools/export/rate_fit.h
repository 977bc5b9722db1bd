// VRateFit: a recording's frame rate from its frames' numbers and receive
// times, by a least-squares line of receive time against frame number over
// every frame. The jitter of single receive times averages out over the
// recording (neighbouring frames alone would give a rate as noisy as one
// interval), and frames not received are just points missing from the line.
#pragma once

#include <cstdint>
#include <string>

namespace QSExport {

class VRateFit {
 public:
  void Add(int32_t frameNumber, int64_t receiveNs);

  // Frames per second; false with `why` when the points give no rate (fewer
  // than two frame numbers, or frame numbers that do not advance with time).
  [[nodiscard]] bool Rate(double& hz, std::string& why) const;
  uint64_t Points() const { return Count; }
  // Receive time from the first point to the last, in seconds.
  double SpanSeconds() const { return static_cast<double>(LastNs - FirstNs) * 1e-9; }

 private:
  // Sums taken relative to the first point, so that large frame numbers and
  // times lose no precision.
  uint64_t Count = 0;
  int32_t FirstFrame = 0;
  int64_t FirstNs = 0;
  int64_t LastNs = 0;
  double SumX = 0, SumY = 0, SumXX = 0, SumXY = 0;
};

}  // namespace QSExport
