// VHeavySceneSource: the heavy reference scene as a frame source of the
// simulator, so that the end-to-end benchmark's server is the simulator
// itself. Every packet carries the whole scene whatever is requested (the
// type list decides only whether the description goes first); the frame
// number on the wire is the serving clock's frame.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "bench/heavy_scene.h"
#include "tools/sim/frame_source.h"

namespace QSBench {

class VHeavySceneSource : public LumoraQSSim::VFrameSource {
 public:
  // `rate` frames per second, 0: unpaced. `scene` must outlive the source.
  VHeavySceneSource(const VHeavyScene& scene, double rate);

  VBytes Handshake() const override;
  bool Paced() const override { return Rate_ > 0.0; }
  double DueAt(int64_t frame) const override { return static_cast<double>(frame) / Rate_; }
  int64_t DueBy(double seconds) const override;
  int64_t LastFrame() const override { return -1; }
  bool IsStaticType(int32_t type) const override;
  bool IsDynamicType(int32_t type) const override;
  // Reuses `packet` when it holds the previous frame's dynamic packet: only
  // the frame number is written again, as the benchmark's own server did.
  [[nodiscard]] bool Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic, VBytes& packet,
                            std::string& error) const override;
  bool SceneChangedBetween(int64_t, int64_t) const override { return false; }

 private:
  const VHeavyScene& Scene_;
  const double Rate_;
  const VBytes Dynamic_;  // frame 0's dynamic packet
};

}  // namespace QSBench
