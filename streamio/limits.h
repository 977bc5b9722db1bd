// Named limits that bound what a peer can make the client allocate.
#pragma once

#include <cstdint>

namespace LumoraQSStreamIO {

// Largest packet payload the client accepts. The length field is a signed
// 32-bit value; anything negative or above this ends the connection before a
// byte of storage is sized from it. 256 MiB leaves room for several
// uncompressed video frames in one packet.
constexpr uint32_t MaxPacketPayload = 256u * 1024u * 1024u;

// Smallest wire encoding of one element of each variable-size list. A count
// read from the wire is bounded by (bytes left / smallest element) before any
// storage is reserved for it.
constexpr uint32_t MinSegmentInfoBytes = 4 + 4 + 24 + 4;  // Value0, id, words, name length
constexpr uint32_t MinMarkerInfoBytes = 4 + 4;            // id, name length
constexpr uint32_t MinStringBytes = 4;                    // length of an empty string
constexpr uint32_t MinChunkGroupBytes = 4;                // chunk count of an empty group
constexpr uint32_t MinChunkBytes = 2 + 2 + 2;             // two values and a length
constexpr uint32_t TypeNumberBytes = 4;

// The most bytes the decoders may consume over one packet: twice its payload
// plus a little. Each object's decoder consumes from its body's start to
// where it stops, whatever the object's declared length; the packet reader
// adds these up, lets each decoder read only what is left of the bound, and
// abandons the packet when a decoder would read past it. In a well-formed
// packet the objects lie one after the other inside the payload and each
// decoder stops at its object's end, so the sum never exceeds the payload.
// Only objects that overlap (a decoder reading past its declared end, the
// next object starting at that end again) can reach the bound: the same
// bytes decoded over and over, each time into new storage.
constexpr uint32_t DecodedBytesPerPayloadByte = 2;
constexpr uint32_t DecodedBytesSlack = 4096;
constexpr uint64_t MaxDecodedBytes(uint32_t payloadBytes) {
  return uint64_t{DecodedBytesPerPayloadByte} * payloadBytes + DecodedBytesSlack;
}

// Storage kept from one packet for the next (the receive buffer, the
// containers and lists the packet reader refills) keeps its room while that
// room is at most twice the new packet's payload plus this much; room for
// more was grown by an earlier, larger packet and is given back, so that the
// memory held follows the stream.
constexpr uint32_t KeptRoomSlackBytes = 64 * 1024;
constexpr uint64_t MaxKeptRoom(uint32_t payloadBytes) { return 2 * uint64_t{payloadBytes} + KeptRoomSlackBytes; }

// The most bytes a packet's decoded objects hold per byte their decoders
// consumed, for the object kind that holds the most: the smallest subjects
// (20 bytes each) appended one by one to a list that doubles its room hold
// 11.5 while it grows; a list of empty component names holds 8. Measured
// for every kind by tests/stream/packet_memory_test.cpp.
constexpr uint32_t MaxHeldBytesPerDecodedByte = 12;

// What reading one packet holds at most, then: its receive buffer and what
// its decoders consumed, at most MaxDecodedBytes, decoded. Lists carried
// over from the previous packet are copies of what that packet decoded.
// Nothing enforces this directly; the tests and the packet reader's fuzz
// target check it.
constexpr uint64_t MaxHeldBytes(uint32_t payloadBytes) {
  return payloadBytes + MaxHeldBytesPerDecodedByte * MaxDecodedBytes(payloadBytes);
}

}  // namespace LumoraQSStreamIO
