// Fuzz harnesses: each takes one arbitrary input and drives one part of the
// receiving side with it. The libFuzzer entry points call them, and the
// replay tests call them with seed and regression inputs in every build.
//
// A harness never fails on bad input: rejecting it is the library's job. It
// aborts only when the library breaks one of its own promises (an oracle
// below), so any abort, like any sanitizer report, is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace QSFuzz {

// What the library did with the input, for tests that replay known inputs.
struct VOutcome {
  bool HandshakeAccepted = false;  // packet reader only
  std::size_t PacketsAccepted = 0; // packet reader: data packets read with success
  bool PacketRejected = false;     // packet reader: the last packet read failed
  bool Decoded = false;            // decoders: the decoder reported success
  bool Converted = false;          // video: the frame came out as three bytes per pixel
  std::size_t RecordsRead = 0;     // recording: whole records whose packet the library accepts
  bool RecordingRefused = false;   // recording: the header or a record was refused as damaged
  bool RecordingCutShort = false;  // recording: the input ends inside a record
};

// Input: one flag byte, then a byte stream as it would arrive on the socket.
//   bit 0: video conversion on
//   bit 1: a valid handshake (offering types 1 to 22) is put before the
//          stream, so that every other byte goes to data packets
//   bit 2: keep a last packet that announces up to 1 MiB more than the
//          stream holds (otherwise the stream ends before such a packet)
// The stream is read as a handshake, then as up to MaxPackets data packets
// while bytes are left, as the receiving thread does (it stops at the first
// rejected packet). The deliveries of the last two packets are kept alive,
// as the frame queue would keep them, while the next packet is read.
// Oracle for amplification (where a sanitizer's allocator can be watched):
// the most memory live at once while a packet is read may not pass
// MaxHeldBytes (streamio/limits.h) of the input read so far.
VOutcome RunPacketReader(const uint8_t* data, std::size_t size);
constexpr std::size_t MaxPackets = 64;

// Input: width (2 bytes), height (2 bytes), a format selector (1 byte), then
// the frame's data. The converted frame is compared with an independent
// reference built from the 2x2 window rule.
VOutcome RunVideoConversion(const uint8_t* data, std::size_t size);

// Input: a decoder selector (1 byte), then one object payload. On success
// the decoded value is encoded again by the server-side encoders and must
// give back exactly the bytes the decoder consumed.
VOutcome RunDecoder(const uint8_t* data, std::size_t size);
constexpr uint8_t DecoderCount = 18;

// Input: a recording file (tools/recording). Its header and records are
// read as every recording tool reads them, and each record's packet goes
// through the packet reader, the first as the handshake, until one is
// refused. Oracles: a record's packet lies inside the input and reads back
// the same at its offset, and the objects cut out of it lie inside it.
VOutcome RunRecordingReader(const uint8_t* data, std::size_t size);

// Selector byte of the decoder for an object type (RunDecoder's first byte),
// or -1 for a type that has no decoder.
int DecoderSelectorForType(int32_t type);

// The handshake RunPacketReader puts first when flag bit 1 is set.
std::vector<uint8_t> DefaultHandshake();

}  // namespace QSFuzz
