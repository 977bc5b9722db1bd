#include "stream/end_reason.h"

#include <cstdio>

#include "streamio/limits.h"

namespace LumoraQSStream {

VReadResult VReadResult::WrongMagic(uint32_t magic) {
  VReadResult result(EEndReason::BadMagic);
  result.Magic = magic;
  return result;
}

VReadResult VReadResult::LengthOutOfRange(int32_t declared) {
  VReadResult result(EEndReason::LengthOutOfRange);
  result.DeclaredLength = declared;
  return result;
}

VReadResult VReadResult::Malformed(int32_t type, uint32_t offset) {
  VReadResult result(EEndReason::MalformedObject);
  result.InObject = true;
  result.ObjectType = type;
  result.ObjectOffset = offset;
  return result;
}

std::string VReadResult::Describe() const {
  char text[160];
  switch (Reason) {
    case EEndReason::None:
      return "a packet that was read";
    case EEndReason::PeerClosed:
      return "the end of the connection";
    case EEndReason::SocketError:
      return "a packet cut short";
    case EEndReason::BadMagic:
      std::snprintf(text, sizeof text, "a packet with the wrong magic 0x%08x", static_cast<unsigned>(Magic));
      return text;
    case EEndReason::LengthOutOfRange:
      std::snprintf(text, sizeof text, "a packet announcing %d payload bytes (the bound is %u)",
                    static_cast<int>(DeclaredLength), static_cast<unsigned>(LumoraQSStreamIO::MaxPacketPayload));
      return text;
    case EEndReason::MalformedObject:
      if (!InObject) return "a packet without an object type list";
      std::snprintf(text, sizeof text, "a packet whose object of type %d at payload offset %u does not decode",
                    static_cast<int>(ObjectType), static_cast<unsigned>(ObjectOffset));
      return text;
    case EEndReason::AllocationFailed:
      return "a packet too large for the memory to be had";
    case EEndReason::Stopped:
      return "nothing more: the connection was stopped";
  }
  return "an unknown fault";
}

}  // namespace LumoraQSStream
