// Why reading from a connection stopped: the result of reading one packet,
// and of the receiving loop as a whole.
#pragma once

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
// reason the connection ends.
struct VReadResult {
  EEndReason Reason = EEndReason::None;

  explicit operator bool() const { return Reason == EEndReason::None; }
};
