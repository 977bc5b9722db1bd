// Reading a client's request packet as a capture server receives it: the
// simulator and the test peers record what the client asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "serve/wire_encoder.h"

namespace LumoraQSServe {

// One request packet as the server read it.
struct VRecordedRequest {
  std::size_t Connection = 0;  // 1-based number of the connection it came on
  VBytes Bytes;                // the whole packet: magic, length, payload
  int32_t Magic = 0;
  int32_t PayloadLength = 0;
  bool WellFormed = false;     // magic right and every object inside the payload
  bool HasTypeList = false;
  std::set<int32_t> Types;     // the last ObjectTypeList in the packet
  std::vector<int32_t> TypesInWireOrder;
  bool HasStreamMode = false;
  uint8_t StreamMode = 0;      // the last StreamMode in the packet
};

// Decodes the objects of one request packet (header included).
VRecordedRequest DecodeRequestPacket(const VBytes& packet);

}  // namespace LumoraQSServe
