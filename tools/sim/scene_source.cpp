#include "tools/sim/scene_source.h"

#include <cmath>

#include "serve/wire_encoder.h"

namespace LumoraQSSim {

VBytes VSceneSource::Handshake() const {
  return LumoraQSServe::EncodePacket({LumoraQSServe::EncodeObjectTypeList(VDemoScene::OfferedTypes())});
}

int64_t VSceneSource::DueBy(double seconds) const { return static_cast<int64_t>(std::floor(seconds * Rate)); }

bool VSceneSource::IsDynamicType(int32_t type) const {
  return VDemoScene::OfferedTypes().count(type) != 0 && !VDemoScene::IsStaticType(type);
}

bool VSceneSource::Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic, VBytes& packet,
                          std::string&) const {
  // Frame numbers are 32-bit on the wire; the clock wraps rather than
  // overflowing.
  packet = Scene.FramePacket(static_cast<int32_t>(frame % 2147483648LL), requested, withStatic);
  return true;
}

}  // namespace LumoraQSSim
