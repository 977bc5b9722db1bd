// Packet framing and dispatch: the receiving half of the protocol, kept
// apart from the socket so it can run over any VReader.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "stream/dynamic_objects_pool.h"
#include "stream/end_reason.h"
#include "streamio/dynamic_objects.h"
#include "streamio/reader.h"
#include "streamio/static_objects.h"

namespace LumoraQSStream {

// What one data packet delivers: either container may be empty.
struct VPacketDelivery {
  std::shared_ptr<const VStaticObjects> Static;
  std::shared_ptr<const VDynamicObjects> Dynamic;
};

class VPacketReader {
 public:
  VPacketReader();

  // Reads the server's first packet; true when it held a valid
  // ObjectTypeList, whose types in the catalogue become OfferedTypes()
  // until the first data packet is read (nothing needs them after the
  // first request). Otherwise the reason: a read failure, a bad header, or
  // MalformedObject when the list is missing or malformed. A failed result
  // carries what the reader knew of the fault (see VReadResult).
  VReadResult ReadHandshake(LumoraQSStreamIO::VReader& reader);

  // Reads one data packet, decodes its objects into fresh containers,
  // merges carried-over types from the previous containers and remembers
  // the new ones as the previous containers. A false result ends the
  // connection, and says why: the read failed (PeerClosed, SocketError, also
  // for a body cut short), wrong magic (BadMagic), a payload length out of
  // range (LengthOutOfRange), or an object that failed to decode
  // (MalformedObject; then nothing of the packet is delivered), including
  // objects that overlap so that decoding them would consume more than
  // MaxDecodedBytes (streamio/limits.h) of the payload. Memory that cannot
  // be allocated throws std::bad_alloc.
  VReadResult ReadPacket(LumoraQSStreamIO::VReader& reader, bool convertVideo, VPacketDelivery& delivery);

  // The decoding half of ReadPacket: the reader's buffer holds exactly one
  // packet's payload (as the packet's Fill left it) and the position is at
  // its start. The same results and the same effect on the previous
  // containers as ReadPacket.
  VReadResult DecodePacket(LumoraQSStreamIO::VReader& reader, bool convertVideo, VPacketDelivery& delivery);

  // Readies a container for the next packet's dynamic objects, sized by the
  // last one's, out of those that holders have let go of (see
  // VDynamicObjectsPool::Prepare). Called between packets, so that this work
  // does not fall between a packet's arrival and its delivery; without it,
  // decoding the packet does the same work.
  void PrepareNext() noexcept;

  // Decodes the last data packet again, from `reader`'s buffer where the
  // ReadPacket that delivered it left it, into the container readied for
  // the next packet, then readies that container again; nothing is
  // delivered and nothing the next packet is decoded against changes. A
  // receiving thread that has been idle for most of a frame period does
  // this shortly before the next frame is due: the decode's code and data
  // are then in the processor's caches when the frame arrives, rather than
  // fetched while it waits. Does nothing unless the last packet read
  // delivered frame data and no scene, or when it has been rehearsed once.
  void Rehearse(LumoraQSStreamIO::VReader& reader) noexcept;
  // Whether Rehearse would decode the last packet again.
  bool CanRehearse() const { return Rehearsable; }

  // Forgets the previous containers (the start of a connection), and the
  // containers and lists kept for reuse.
  void Reset();

  const std::set<int32_t>& OfferedTypes() const { return Offered; }

 private:
  VReadResult Decode(LumoraQSStreamIO::VReader& reader, bool convertVideo, VPacketDelivery& delivery, bool rehearsal);

  VDynamicObjectsPool Pool;
  std::shared_ptr<const VStaticObjects> LastStatic;
  std::shared_ptr<const VDynamicObjects> LastDynamic;
  uint32_t LastDynamicPayload = 0;  // the payload bytes of LastDynamic's packet
  // The last packet read delivered frame data and no scene, and has not
  // been rehearsed yet: Rehearse may decode it again.
  bool Rehearsable = false;
  std::set<int32_t> Offered;
  VPacketSummary Summary;
  std::vector<uint8_t> ConversionBuffer;
};

}  // namespace LumoraQSStream
