#include "bench/heavy_scene_source.h"

#include <algorithm>
#include <cmath>

#include "serve/wire_encoder.h"
#include "streamio/object_types.h"

namespace QSBench {

namespace {

// Frame numbers are 32-bit on the wire; the clock wraps rather than
// overflowing.
int32_t WireFrameNumber(int64_t frame) { return static_cast<int32_t>(frame % 2147483648LL); }

}  // namespace

VHeavySceneSource::VHeavySceneSource(const VHeavyScene& scene, double rate)
    : Scene_(scene), Rate_(rate), Dynamic_(scene.DynamicPacket(0)) {}

VBytes VHeavySceneSource::Handshake() const {
  return LumoraQSServe::EncodePacket({LumoraQSServe::EncodeObjectTypeList(VHeavyScene::Types())});
}

int64_t VHeavySceneSource::DueBy(double seconds) const {
  return static_cast<int64_t>(std::floor(seconds * Rate_));
}

bool VHeavySceneSource::IsStaticType(int32_t type) const {
  return VHeavyScene::Types().count(type) != 0 && LumoraQSStream::RouteOf(type) == LumoraQSStream::ERoute::Static;
}

bool VHeavySceneSource::IsDynamicType(int32_t type) const {
  return VHeavyScene::Types().count(type) != 0 && LumoraQSStream::RouteOf(type) == LumoraQSStream::ERoute::Dynamic;
}

bool VHeavySceneSource::Packet(int64_t frame, const std::set<int32_t>&, bool withStatic, VBytes& packet,
                               std::string&) const {
  if (withStatic) {
    packet = Scene_.FirstPacket(WireFrameNumber(frame));
    return true;
  }
  // Dynamic packets differ only in their frame number.
  const bool previousFrame = packet.size() == Dynamic_.size() &&
                             std::equal(Dynamic_.begin(), Dynamic_.begin() + FrameNumberOffset, packet.begin());
  if (!previousFrame) packet = Dynamic_;
  VHeavyScene::SetFrameNumber(packet, WireFrameNumber(frame));
  return true;
}

}  // namespace QSBench
