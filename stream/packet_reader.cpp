#include "stream/packet_reader.h"

#include <algorithm>

#include "stream/video_conversion.h"
#include "streamio/carry_over.h"
#include "streamio/limits.h"
#include "streamio/object_types.h"

namespace LumoraQSStream {

using LumoraQSStreamIO::MaxDecodedBytes;
using LumoraQSStreamIO::MaxKeptRoom;
using LumoraQSStreamIO::MaxPacketPayload;
using LumoraQSStreamIO::VReader;
using LumoraQSStreamIO::VReaderSection;

namespace {

// Why a packet's header (and body) cannot be decoded, or a true result when it can:
// the magic is right, the payload length is neither negative nor above the
// bound (an oversized payload is refused before a byte is allocated for
// it), and the whole body arrived.
VReadResult PacketHeaderFault(const VReaderSection& packet, const VReader& reader) {
  const EEndReason readFailure = reader.SourceClosed() ? EEndReason::PeerClosed : EEndReason::SocketError;
  if (!packet.HeaderRead()) return readFailure;
  if (packet.LeadingWord() != PacketMagic) return VReadResult::WrongMagic(static_cast<uint32_t>(packet.LeadingWord()));
  if (packet.DeclaredLength() < 0 || static_cast<uint32_t>(packet.DeclaredLength()) > MaxPacketPayload) {
    return VReadResult::LengthOutOfRange(packet.DeclaredLength());
  }
  if (packet.DeclaredLength() > 0 && reader.Length() == 0) return readFailure;
  return {};
}

// Lifts the reader's limit when an object's decoding ends, however it ends.
struct VLimitScope {
  VReader& Reader;
  ~VLimitScope() { Reader.ClearLimit(); }
};

// True while another object header can start inside the packet, whose
// payload is the whole of the reader's buffer. Fewer than 4 bytes before the
// end cannot hold an object type: those trailing bytes are ignored and the
// packet counts as complete. An object whose declared length runs past the
// end leaves the position there, which ends the packet too.
bool MoreObjects(const VReader& reader) { return reader.Remaining() >= 4; }

}  // namespace

VPacketReader::VPacketReader() = default;

VReadResult VPacketReader::ReadHandshake(VReader& reader) {
  Rehearsable = false;
  VReaderSection packet(reader, VReaderSection::EOpen::Refill);
  if (VReadResult fault = PacketHeaderFault(packet, reader); !fault) return fault;
  // Only the one type list is decoded, and the packet is left right after
  // it: the decoding work is at most the payload.
  while (MoreObjects(reader)) {
    const uint32_t objectStart = reader.Position();
    VReaderSection object(reader, VReaderSection::EOpen::InPlace);
    if (object.LeadingWord() == ObjectTypeList) {
      if (DecodeObjectTypeList(reader, Offered, IsCatalogued)) {
        return {};  // both sections close: past the object, then to the packet end
      }
      Offered.clear();
      return VReadResult::Malformed(ObjectTypeList, objectStart);
    }
  }
  return {EEndReason::MalformedObject};  // no type list
}

VReadResult VPacketReader::ReadPacket(VReader& reader, bool convertVideo, VPacketDelivery& delivery) {
  delivery = VPacketDelivery{};
  Rehearsable = false;
  // The offered types were for the first request, which has been sent.
  Offered.clear();
  VReaderSection packet(reader, VReaderSection::EOpen::Refill);
  if (VReadResult fault = PacketHeaderFault(packet, reader); !fault) return fault;
  return DecodePacket(reader, convertVideo, delivery);
}

VReadResult VPacketReader::DecodePacket(VReader& reader, bool convertVideo, VPacketDelivery& delivery) {
  Rehearsable = false;
  return Decode(reader, convertVideo, delivery, false);
}

// A rehearsal decodes only the frame's data, into a container it lets go
// of: the scene's objects, video conversion and the previous containers
// are left alone.
VReadResult VPacketReader::Decode(VReader& reader, bool convertVideo, VPacketDelivery& delivery, bool rehearsal) {
  delivery = VPacketDelivery{};
  std::shared_ptr<VStaticObjects> staticObjects;
  std::shared_ptr<VDynamicObjects> dynamicObjects;
  bool hasSummary = false;
  if (Summary.Pairs.capacity() * sizeof(VSummaryPair) > MaxKeptRoom(reader.Length())) Summary = VPacketSummary{};
  Summary.Pairs.clear();
  Summary.CarriedTypes.clear();
  const uint64_t maxDecoded = MaxDecodedBytes(reader.Length());
  uint64_t decodedBytes = 0;

  while (MoreObjects(reader)) {
    const uint32_t objectStart = reader.Position();
    VReaderSection object(reader, VReaderSection::EOpen::InPlace);
    const int32_t type = object.LeadingWord();
    // The decoder may consume what is left of the packet's decoding budget,
    // counted from its body's start whatever the object's declared length:
    // reading past it fails as reading past the payload does. Only objects
    // that overlap get there (see MaxDecodedBytes).
    const uint32_t bodyStart = reader.Position();
    reader.Limit(static_cast<uint32_t>(std::min<uint64_t>(bodyStart + (maxDecoded - decodedBytes), reader.Length())));
    VLimitScope limit{reader};
    bool decoded = true;
    switch (RouteOf(type)) {
      case ERoute::Static:
        if (rehearsal) break;
        if (!staticObjects) staticObjects = std::make_shared<VStaticObjects>();
        decoded = DecodeStaticObject(type, reader, *staticObjects);
        break;
      case ERoute::Dynamic:
        if (!dynamicObjects) dynamicObjects = Pool.Take(reader.Length(), LastDynamic.get());
        decoded = DecodeDynamicObject(type, reader, *dynamicObjects, &Pool.Spare());
        if (decoded && type == VideoFrame && convertVideo && !rehearsal) {
          ConvertVideoFrame(*dynamicObjects->VideoFrames.back(), ConversionBuffer);
        }
        break;
      case ERoute::Summary:
        // Numbers outside the catalogue are never carried over: they are
        // not kept.
        decoded = DecodePacketSummary(reader, Summary, IsCatalogued);
        hasSummary = true;
        break;
      case ERoute::Skipped:
        break;
    }
    decodedBytes += reader.Position() - bodyStart;
    // A failed object abandons the whole packet: the new containers are
    // dropped unseen and the previous ones stay as they were.
    if (!decoded) return VReadResult::Malformed(type, objectStart);
  }

  if (hasSummary) {
    if (LastStatic && staticObjects) MergeStaticObjects(Summary.CarriedTypes, *LastStatic, *staticObjects);
    if (LastDynamic && dynamicObjects) MergeDynamicObjects(Summary.CarriedTypes, *LastDynamic, *dynamicObjects);
  }
  if (rehearsal) return {};
  if (staticObjects) {
    LastStatic = staticObjects;
    delivery.Static = std::move(staticObjects);
  }
  if (dynamicObjects) {
    LastDynamic = dynamicObjects;
    LastDynamicPayload = reader.Length();
    delivery.Dynamic = std::move(dynamicObjects);
    Rehearsable = !delivery.Static;
  }
  return {};
}

void VPacketReader::Rehearse(VReader& reader) noexcept {
  if (!Rehearsable || reader.Length() != LastDynamicPayload) return;
  Rehearsable = false;
  try {
    reader.SetPosition(0);
    VPacketDelivery none;
    static_cast<void>(Decode(reader, false, none, true));
  } catch (...) {
    // Out of memory: the next packet's own decode meets it, if it persists.
  }
  // The rehearsal's container went back to the pool: ready it again.
  PrepareNext();
}

void VPacketReader::PrepareNext() noexcept {
  if (LastDynamic) Pool.Prepare(LastDynamicPayload);
}

void VPacketReader::Reset() {
  Rehearsable = false;
  LastStatic.reset();
  LastDynamic.reset();
  Pool.Clear();
}

}  // namespace LumoraQSStream
