// A frame's values in the shape a file writer takes them, from the queries'
// current frame: every marker's position or its absence, and every sample
// of every plate channel (force, moment, centre of pressure, analog).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "api/frame_queries.h"
#include "tools/export/columns.h"

namespace QSExport {

// Every marker of `markers` in the output axes: Positions[m], and Valid[m]
// 0 when it is occluded or not in the frame (its position then zero).
struct VMarkerPositions {
  std::vector<std::array<double, 3>> Positions;
  std::vector<uint8_t> Valid;

  void Gather(VFrameQueries& q, const std::vector<VItemColumn>& markers);
};

// Every sample of every channel, sample-major: Values[i * channels + c] is
// channel c at sample i, for `samplesPerFrame` samples. A channel the frame
// does not carry, or carries with another number of samples, has Present[c]
// 0 and zero values; OtherCount says the latter happened.
struct VChannelSamples {
  std::vector<float> Values;
  std::vector<uint8_t> Present;
  bool OtherCount = false;

  void Gather(VFrameQueries& q, const std::vector<VChannel>& channels, int samplesPerFrame);

 private:
  std::vector<std::array<float, 3>> Vectors;  // one plate output, reused
};

}  // namespace QSExport
