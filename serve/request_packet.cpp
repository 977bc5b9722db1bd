#include "serve/request_packet.h"

#include "streamio/field_at.h"

namespace LumoraQSServe {

using LumoraQSStreamIO::Int32At;

VRecordedRequest DecodeRequestPacket(const VBytes& packet) {
  VRecordedRequest request;
  request.Bytes = packet;
  if (packet.size() < 8) return request;
  request.Magic = Int32At(packet, 0);
  request.PayloadLength = Int32At(packet, 4);
  bool wellFormed = request.Magic == LumoraQSStream::PacketMagic && request.PayloadLength >= 0 &&
                    packet.size() - 8 == static_cast<uint32_t>(request.PayloadLength);
  std::size_t position = 8;
  const std::size_t end = packet.size();
  while (wellFormed && position < end) {
    if (end - position < 8) {
      wellFormed = false;
      break;
    }
    const int32_t type = Int32At(packet, position);
    const int32_t length = Int32At(packet, position + 4);
    position += 8;
    if (length < 0 || static_cast<uint32_t>(length) > end - position) {
      wellFormed = false;
      break;
    }
    const std::size_t objectEnd = position + static_cast<uint32_t>(length);
    if (type == LumoraQSStream::ObjectTypeList) {
      if (length < 4) {
        wellFormed = false;
        break;
      }
      const int32_t count = Int32At(packet, position);
      if (count < 0 || static_cast<uint64_t>(count) * 4u > static_cast<uint64_t>(length) - 4u) {
        wellFormed = false;
        break;
      }
      request.HasTypeList = true;
      request.Types.clear();
      request.TypesInWireOrder.clear();
      for (int32_t i = 0; i < count; ++i) {
        const int32_t value = Int32At(packet, position + 4 + 4 * static_cast<std::size_t>(i));
        request.TypesInWireOrder.push_back(value);
        request.Types.insert(value);
      }
    } else if (type == LumoraQSStream::StreamMode) {
      if (length < 1) {
        wellFormed = false;
        break;
      }
      request.HasStreamMode = true;
      request.StreamMode = packet[position];
    }
    position = objectEnd;
  }
  request.WellFormed = wellFormed;
  return request;
}

}  // namespace LumoraQSServe
