// Packet framing and dispatch: the receiving half of the protocol, kept
// apart from the socket so it can run over any VReader.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "streamio/dynamic_objects.h"
#include "streamio/reader.h"
#include "streamio/static_objects.h"

// What one data packet delivers: either container may be empty.
struct VPacketDelivery {
  std::shared_ptr<const LumoraQSStream::VStaticObjects> Static;
  std::shared_ptr<const LumoraQSStream::VDynamicObjects> Dynamic;
};

// Where dynamic containers go when their last user lets go of them, so
// that the packet reader can fill them again (packet_reader.cpp).
class VDynamicObjectsBin;

class VPacketReader {
 public:
  VPacketReader();
  ~VPacketReader();

  // Reads the server's first packet; true when it held a valid
  // ObjectTypeList, whose types in the catalogue become OfferedTypes()
  // until the first data packet is read (nothing needs them after the
  // first request).
  bool ReadHandshake(LumoraQSStreamIO::VReader& reader);

  // Reads one data packet, decodes its objects into fresh containers,
  // merges carried-over types from the previous containers and remembers
  // the new ones as the previous containers. False ends the connection:
  // wrong magic, a payload length out of range, or an object that failed to
  // decode (then nothing of the packet is delivered), or objects that
  // overlap so that decoding them would consume more than MaxDecodedBytes
  // (streamio/limits.h) of the payload.
  bool ReadPacket(LumoraQSStreamIO::VReader& reader, bool convertVideo, VPacketDelivery& delivery);

  // The decoding half of ReadPacket: the reader's buffer holds exactly one
  // packet's payload (as the packet's Fill left it) and the position is at
  // its start. The same results and the same effect on the previous
  // containers as ReadPacket.
  bool DecodePacket(LumoraQSStreamIO::VReader& reader, bool convertVideo, VPacketDelivery& delivery);

  // Forgets the previous containers (the start of a connection), and the
  // containers and lists kept for reuse.
  void Reset();

  const std::set<int32_t>& OfferedTypes() const { return Offered; }

 private:
  // A container for the dynamic objects of a packet of `payloadBytes`: one
  // that came back to the bin, emptied, or a new one sized like the
  // previous packet's.
  std::shared_ptr<LumoraQSStream::VDynamicObjects> NewDynamicObjects(uint32_t payloadBytes);

  std::shared_ptr<VDynamicObjectsBin> Bin;
  LumoraQSStream::VSpareLists Spare;
  std::shared_ptr<const LumoraQSStream::VStaticObjects> LastStatic;
  std::shared_ptr<const LumoraQSStream::VDynamicObjects> LastDynamic;
  std::set<int32_t> Offered;
  LumoraQSStream::VPacketSummary Summary;
  std::vector<uint8_t> ConversionBuffer;
};

// Replace the new container's data of every carried-over type (ascending)
// by a copy of the previous container's. Types not carried over are ignored.
void MergeStaticObjects(const LumoraQSStream::VPacketSummary& summary,
                        const LumoraQSStream::VStaticObjects& previous,
                        LumoraQSStream::VStaticObjects& current);
void MergeDynamicObjects(const LumoraQSStream::VPacketSummary& summary,
                         const LumoraQSStream::VDynamicObjects& previous,
                         LumoraQSStream::VDynamicObjects& current);
