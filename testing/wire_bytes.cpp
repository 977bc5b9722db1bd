#include "testing/wire_bytes.h"

namespace QSTesting {

int32_t Int32At(const std::vector<uint8_t>& bytes, std::size_t offset) {
  return static_cast<int32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                              static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

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
