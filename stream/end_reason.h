// Why reading from a connection stopped: the result of reading one packet,
// and of the receiving loop as a whole.
#pragma once

#include <cstdint>
#include <string>

namespace LumoraQSStream {

enum class EEndReason {
  None,              // nothing ended: the packet was read
  PeerClosed,        // the peer closed its side (end of stream)
  SocketError,       // the socket failed (reset, lost peer, short read)
  BadMagic,          // a packet did not start with the packet magic
  LengthOutOfRange,  // a payload length was negative or above MaxPacketPayload
  MalformedObject,   // an object failed to decode, or the packet held no valid handshake
  AllocationFailed,  // memory for the packet or its objects could not be had
  Stopped,           // the stream client was shut down
};

// The outcome of a read: true when the packet was read, otherwise the
// reason the connection ends, with what the reader knew of the fault.
struct [[nodiscard]] VReadResult {
  EEndReason Reason = EEndReason::None;
  // BadMagic: the packet's leading word.
  uint32_t Magic = 0;
  // LengthOutOfRange: the payload length the packet's header declared.
  int32_t DeclaredLength = 0;
  // MalformedObject: the object that failed, when there was one (a
  // handshake without a type list has none): its type, and where its type
  // field lies, counted from the start of the payload.
  bool InObject = false;
  int32_t ObjectType = 0;
  uint32_t ObjectOffset = 0;

  VReadResult() = default;
  VReadResult(EEndReason reason) : Reason(reason) {}  // NOLINT: a bare reason is a result
  static VReadResult WrongMagic(uint32_t magic);
  static VReadResult LengthOutOfRange(int32_t declared);
  static VReadResult Malformed(int32_t type, uint32_t offset);

  explicit operator bool() const { return Reason == EEndReason::None; }

  // One phrase for the fault, as it reads after "the server sent": "a
  // packet with the wrong magic 0x...", "a packet announcing N payload
  // bytes ...", "a packet whose object of type T at payload offset O does
  // not decode"; for the other reasons what ended the connection.
  std::string Describe() const;
};

}  // namespace LumoraQSStream
