#include "stream/packet_reader.h"

#include <algorithm>
#include <cstddef>
#include <mutex>

#include "stream/video_conversion.h"
#include "streamio/limits.h"
#include "streamio/object_types.h"

using namespace LumoraQSStream;
using LumoraQSStreamIO::MaxDecodedBytes;
using LumoraQSStreamIO::MaxKeptRoom;
using LumoraQSStreamIO::MaxPacketPayload;
using LumoraQSStreamIO::VReader;
using LumoraQSStreamIO::VReaderSection;

namespace {

// A packet is acceptable when its magic is right and its payload length is
// neither negative nor above the bound (an oversized payload is refused
// before a byte is allocated for it).
bool PacketHeaderAcceptable(const VReaderSection& packet) {
  return packet.LeadingWord() == PacketMagic && packet.DeclaredLength() >= 0 &&
         static_cast<uint32_t>(packet.DeclaredLength()) <= MaxPacketPayload;
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

// Gives the lists of a new dynamic container the capacity of the previous
// packet's. Consecutive frames carry the same subjects and device outputs,
// so each list is then allocated once instead of being regrown (and its
// elements moved) as objects arrive one by one. Capacity only: the lists
// stay empty. Nothing is reserved when the previous packet's lists would
// take more room than this packet's payload can fill (a large frame, then
// a small one).
void ReserveLike(const VDynamicObjects& previous, VDynamicObjects& objects, uint64_t maxRoom) {
  uint64_t room = 0;
  ForEachList([&](auto list) { room += (previous.*list).size() * sizeof((previous.*list)[0]); });
  if (room > maxRoom) return;
  ForEachList([&](auto list) { (objects.*list).reserve((previous.*list).size()); });
}

}  // namespace

// A delivered dynamic container is shared by the frame queue, the host's
// frame assembly and, as the previous container, this reader; whichever lets
// go of it last (on any thread) puts it here instead of freeing it. The
// receiving thread takes it back for a later packet and refills its lists in
// place, so that at a steady frame shape decoding allocates nothing (on a
// heavy frame the allocations and frees of some hundred lists cost a third
// of the receiving thread's time). A container is taken back only after
// every holder has dropped it, so no reader of a delivered frame ever sees
// it change; the mutex orders those readers' last accesses before the
// refill.
class VDynamicObjectsBin {
 public:
  // More would only hold memory: in a steady stream a container comes back
  // before the packet after next needs one.
  static constexpr std::size_t Capacity = 2;

  VDynamicObjectsBin() { Kept.reserve(Capacity); }

  void Put(VDynamicObjects* objects) noexcept {
    std::unique_ptr<VDynamicObjects> owned(objects);
    std::lock_guard<std::mutex> lock(Mutex);
    // Within the reserved capacity: push_back does not allocate or throw.
    if (Kept.size() < Capacity) Kept.push_back(std::move(owned));
    // Otherwise `owned` frees the container, after the lock is released.
  }

  std::unique_ptr<VDynamicObjects> Take() {
    std::lock_guard<std::mutex> lock(Mutex);
    if (Kept.empty()) return nullptr;
    std::unique_ptr<VDynamicObjects> objects = std::move(Kept.back());
    Kept.pop_back();
    return objects;
  }

  // Frees what is kept; the reserved capacity stays, so Put still cannot
  // allocate.
  void Clear() {
    std::lock_guard<std::mutex> lock(Mutex);
    Kept.clear();
  }

 private:
  std::mutex Mutex;
  std::vector<std::unique_ptr<VDynamicObjects>> Kept;
};

namespace {

// The deleter of every dynamic container the reader hands out. Once the
// reader (and with it the bin) is gone, containers are simply freed.
struct VReturnToBin {
  std::weak_ptr<VDynamicObjectsBin> Bin;
  void operator()(VDynamicObjects* objects) const noexcept {
    if (std::shared_ptr<VDynamicObjectsBin> bin = Bin.lock()) {
      bin->Put(objects);
    } else {
      delete objects;
    }
  }
};

}  // namespace

VPacketReader::VPacketReader() : Bin(std::make_shared<VDynamicObjectsBin>()) {}

VPacketReader::~VPacketReader() = default;

std::shared_ptr<VDynamicObjects> VPacketReader::NewDynamicObjects(uint32_t payloadBytes) {
  // Lists with room for far more than this payload can fill were grown by
  // an earlier, larger frame: a container (or spare lists) holding such room
  // is freed rather than refilled, so that the memory held follows the
  // stream, as it did when every packet had new lists. Every list counts,
  // the container's own as well as those inside its elements.
  const uint64_t maxRoom = MaxKeptRoom(payloadBytes);
  if (KeptBytes(Spare) > maxRoom) Spare = VSpareLists{};
  std::unique_ptr<VDynamicObjects> objects = Bin->Take();
  if (objects && KeptBytes(*objects) > maxRoom) objects.reset();
  if (objects) {
    try {
      EmptyForReuse(*objects, Spare);
    } catch (...) {
      // Out of memory while keeping the inner lists: fall back to a new
      // container rather than one half emptied.
      objects.reset();
      Spare = VSpareLists{};
    }
  }
  if (!objects) {
    objects = std::make_unique<VDynamicObjects>();
    if (LastDynamic) ReserveLike(*LastDynamic, *objects, maxRoom);
  }
  // Should the control block's allocation fail, the deleter still runs and
  // the container goes back to the bin.
  return std::shared_ptr<VDynamicObjects>(objects.release(), VReturnToBin{Bin});
}

bool VPacketReader::ReadHandshake(VReader& reader) {
  VReaderSection packet(reader, VReaderSection::EOpen::Refill);
  if (!PacketHeaderAcceptable(packet)) return false;
  // Only the one type list is decoded, and the packet is left right after
  // it: the decoding work is at most the payload.
  while (MoreObjects(reader)) {
    VReaderSection object(reader, VReaderSection::EOpen::InPlace);
    if (object.LeadingWord() == ObjectTypeList) {
      const bool decoded = DecodeObjectTypeList(reader, Offered, IsCatalogued);
      if (!decoded) Offered.clear();
      return decoded;  // both sections close: past the object, then to the packet end
    }
  }
  return false;
}

bool VPacketReader::ReadPacket(VReader& reader, bool convertVideo, VPacketDelivery& delivery) {
  delivery = VPacketDelivery{};
  // The offered types were for the first request, which has been sent.
  Offered.clear();
  VReaderSection packet(reader, VReaderSection::EOpen::Refill);
  if (!PacketHeaderAcceptable(packet)) return false;
  return DecodePacket(reader, convertVideo, delivery);
}

bool VPacketReader::DecodePacket(VReader& reader, bool convertVideo, VPacketDelivery& delivery) {
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
        if (!staticObjects) staticObjects = std::make_shared<VStaticObjects>();
        decoded = DecodeStaticObject(type, reader, *staticObjects);
        break;
      case ERoute::Dynamic:
        if (!dynamicObjects) dynamicObjects = NewDynamicObjects(reader.Length());
        decoded = DecodeDynamicObject(type, reader, *dynamicObjects, &Spare);
        if (decoded && type == VideoFrame && convertVideo) {
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
    if (!decoded) return false;
  }

  if (hasSummary) {
    if (LastStatic && staticObjects) MergeStaticObjects(Summary, *LastStatic, *staticObjects);
    if (LastDynamic && dynamicObjects) MergeDynamicObjects(Summary, *LastDynamic, *dynamicObjects);
  }
  if (staticObjects) {
    LastStatic = staticObjects;
    delivery.Static = std::move(staticObjects);
  }
  if (dynamicObjects) {
    LastDynamic = dynamicObjects;
    delivery.Dynamic = std::move(dynamicObjects);
  }
  return true;
}

void VPacketReader::Reset() {
  LastStatic.reset();
  LastDynamic.reset();
  Bin->Clear();
  Spare = VSpareLists{};
}

void MergeStaticObjects(const VPacketSummary& summary, const VStaticObjects& previous,
                        VStaticObjects& current) {
  for (int32_t type : summary.CarriedTypes) {
    switch (type) {
      case StreamInfo: current.StreamValue = previous.StreamValue; break;
      case SubjectInfo: current.Subjects = previous.Subjects; break;
      case DeviceInfo: current.Devices = previous.Devices; break;
      case DeviceOutputInfo: current.DeviceOutputs = previous.DeviceOutputs; break;
      case NamedVectorInfo: current.NamedVectorInfos = previous.NamedVectorInfos; break;
      case NamedParameterInfo: current.NamedParameterInfos = previous.NamedParameterInfos; break;
      case WordBlockInfo: current.WordBlockInfos = previous.WordBlockInfos; break;
      default: break;
    }
  }
}

void MergeDynamicObjects(const VPacketSummary& summary, const VDynamicObjects& previous,
                         VDynamicObjects& current) {
  // Force, moment, centre-of-pressure and voltage data are never carried
  // over, even when listed.
  for (int32_t type : summary.CarriedTypes) {
    switch (type) {
      case FrameNumber: current.FrameNumber = previous.FrameNumber; break;
      case MarkerPositions: current.MarkerPositions = previous.MarkerPositions; break;
      case MarkerRecords: current.MarkerRecords = previous.MarkerRecords; break;
      case GlobalSegmentPoses: current.GlobalSegmentPoses = previous.GlobalSegmentPoses; break;
      case BlockData: current.BlockDatas = previous.BlockDatas; break;
      case ChunkData: current.ChunkDatas = previous.ChunkDatas; break;
      case ShortRecordData: current.ShortRecordDatas = previous.ShortRecordDatas; break;
      case VideoFrame: current.VideoFrames = previous.VideoFrames; break;  // shares the frames
      default: break;
    }
  }
}
