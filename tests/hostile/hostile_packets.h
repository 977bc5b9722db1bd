// Packets a hostile or broken capture server may send, shared by the
// hostile-peer tests at the stream client level and through the exports.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "serve/wire_encoder.h"
#include "stream/end_reason.h"

namespace QSHostile {

using LumoraQSServe::VBytes;

// Every rejected data packet starts with a FrameNumber object of this value
// (where its framing lets objects be read at all): if anything of the packet
// were delivered, this frame number would show.
constexpr int32_t PoisonFrame = 666;

struct VHostileCase {
  std::string Name;  // usable as a test name
  VBytes Bytes;      // one whole packet (or a stream of bytes)
  LumoraQSStream::EEndReason Reason = LumoraQSStream::EEndReason::MalformedObject;  // why the connection ends
};

// Data packets that must end the connection with nothing delivered: payload
// lengths out of range, wrong magic, counts and string lengths at 2^31-1 and
// -1 in every list the decoders read, content running past the payload,
// objects that overlap so that the same bytes are decoded over and over.
std::vector<VHostileCase> RejectedDataPackets();

// Test output names a case by its name, not by its bytes.
inline void PrintTo(const VHostileCase& c, std::ostream* os) { *os << c.Name; }

// First packets that must end the connection before any request is sent.
std::vector<VHostileCase> RejectedHandshakes();

struct VToleratedCase {
  std::string Name;
  VBytes Bytes;
  int32_t FrameNumber;  // the frame number the packet delivers
};

inline void PrintTo(const VToleratedCase& c, std::ostream* os) { *os << c.Name; }

// Data packets with lying object lengths that the framing rules still
// accept: each delivers exactly the frame number given.
std::vector<VToleratedCase> ToleratedDataPackets();

// The scene of the good packets: subject "Hero" (id 1) with segments
// "Root" (10) and "Arm" (11) and marker "Tip" (20).
VBytes ScenePacket(int32_t frameNumber);
// A packet with a frame number only.
VBytes FramePacket(int32_t frameNumber);

}  // namespace QSHostile
