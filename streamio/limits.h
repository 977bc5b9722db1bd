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

}  // namespace LumoraQSStreamIO
