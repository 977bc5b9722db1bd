// VSceneSource: the demo scene as the simulator's frame source, at a fixed
// frame rate (0: unpaced), never ending. The frame number on the wire is the
// serving clock's frame.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "tools/sim/frame_source.h"
#include "tools/sim/scene.h"

namespace LumoraQSSim {

class VSceneSource : public VFrameSource {
 public:
  // `scene` must outlive the source.
  VSceneSource(const VDemoScene& scene, double rate) : Scene(scene), Rate(rate) {}

  VBytes Handshake() const override;
  bool Paced() const override { return Rate > 0.0; }
  double DueAt(int64_t frame) const override { return frame / Rate; }
  int64_t DueBy(double seconds) const override;
  int64_t LastFrame() const override { return -1; }
  bool IsStaticType(int32_t type) const override { return VDemoScene::IsStaticType(type); }
  bool IsDynamicType(int32_t type) const override;
  [[nodiscard]] bool Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic, VBytes& packet,
                            std::string& error) const override;
  bool SceneChangedBetween(int64_t, int64_t) const override { return false; }

 private:
  const VDemoScene& Scene;
  const double Rate;
};

}  // namespace LumoraQSSim
