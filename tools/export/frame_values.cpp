#include "tools/export/frame_values.h"

#include <algorithm>

namespace QSExport {

void VMarkerPositions::Gather(VFrameQueries& q, const std::vector<VItemColumn>& markers) {
  Positions.assign(markers.size(), {0.0, 0.0, 0.0});
  Valid.assign(markers.size(), 0);
  for (std::size_t m = 0; m < markers.size(); ++m) {
    bool occluded = true;
    if (q.GetGlobalMarkerTranslation(markers[m].Subject, markers[m].Item, Positions[m], occluded) && !occluded) {
      Valid[m] = 1;
    } else {
      Positions[m] = {0.0, 0.0, 0.0};
    }
  }
}

void VChannelSamples::Gather(VFrameQueries& q, const std::vector<VChannel>& channels, int samplesPerFrame) {
  const std::size_t n = static_cast<std::size_t>(samplesPerFrame);
  const std::size_t width = channels.size();
  Values.assign(n * width, 0.0f);
  Present.assign(width, 0);
  OtherCount = false;
  // The channels of one plate vector follow each other (x, y, z): its
  // samples are read once for the three.
  int32_t heldDevice = 0;
  int heldKind = -1;
  bool held = false;
  for (std::size_t c = 0; c < width; ++c) {
    const VChannel& channel = channels[c];
    if (channel.Kind == VChannel::Analog) {
      const float* samples = nullptr;
      std::size_t count = 0;
      if (!q.GetAnalogSamples(channel.DeviceID, channel.Component, samples, count)) continue;
      if (count != n) {
        OtherCount = true;
        continue;
      }
      for (std::size_t i = 0; i < n; ++i) Values[i * width + c] = samples[i];
      Present[c] = 1;
      continue;
    }
    if (channel.DeviceID != heldDevice || channel.Kind != heldKind) {
      heldDevice = channel.DeviceID;
      heldKind = channel.Kind;
      held = q.GetPlateSamples(channel.DeviceID, static_cast<VFrameLookups::EPlateData>(channel.Kind), Vectors);
      if (held && Vectors.size() != n) {
        OtherCount = true;
        held = false;
      }
    }
    if (!held) continue;
    for (std::size_t i = 0; i < n; ++i) Values[i * width + c] = Vectors[i][channel.Component];
    Present[c] = 1;
  }
}

}  // namespace QSExport
