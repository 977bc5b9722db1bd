#include "testing/wire_bytes.h"

#include "streamio/field_at.h"

namespace QSTesting {

using LumoraQSStreamIO::Int32At;

VObjectWalk WalkObjects(const std::vector<uint8_t>& packet) {
  VObjectWalk walk;
  walk.End = 8;  // after the magic and the payload length
  while (walk.End + 8 <= packet.size()) {
    walk.Types.push_back(Int32At(packet, walk.End));
    walk.End += 8 + static_cast<uint32_t>(Int32At(packet, walk.End + 4));
  }
  return walk;
}

}  // namespace QSTesting
