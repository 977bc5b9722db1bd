#include "streamio/object_types.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace LumoraQSStream {
namespace {

constexpr VObjectTypeInfo Catalogue[] = {
    {StreamInfo, "StreamInfo", ERoute::Static},
    {SubjectInfo, "SubjectInfo", ERoute::Static},
    {DeviceInfo, "DeviceInfo", ERoute::Static},
    {DeviceOutputInfo, "DeviceOutputInfo", ERoute::Static},
    {FrameNumber, "FrameNumber", ERoute::Dynamic},
    {MarkerPositions, "MarkerPositions", ERoute::Dynamic},
    {MarkerRecords, "MarkerRecords", ERoute::Dynamic},
    {OtherSegmentPoses, "OtherSegmentPoses", ERoute::Skipped},
    {GlobalSegmentPoses, "GlobalSegmentPoses", ERoute::Dynamic},
    {ForceData, "ForceData", ERoute::Dynamic},
    {MomentData, "MomentData", ERoute::Dynamic},
    {CentreOfPressureData, "CentreOfPressureData", ERoute::Dynamic},
    {VoltageData, "VoltageData", ERoute::Dynamic},
    {NamedVectorInfo, "NamedVectorInfo", ERoute::Static},
    {Reserved15, "Reserved15", ERoute::Skipped},
    {BlockData, "BlockData", ERoute::Dynamic},
    {ChunkData, "ChunkData", ERoute::Dynamic},
    {ShortRecordData, "ShortRecordData", ERoute::Dynamic},
    {NamedParameterInfo, "NamedParameterInfo", ERoute::Static},
    {WordBlockInfo, "WordBlockInfo", ERoute::Static},
    {Reserved21, "Reserved21", ERoute::Skipped},
    {VideoFrame, "VideoFrame", ERoute::Dynamic},
    // Control types: the handshake and the requests carry the first two; in
    // a data packet they are stepped over like unknown numbers.
    {ObjectTypeList, "ObjectTypeList", ERoute::Skipped},
    {StreamMode, "StreamMode", ERoute::Skipped},
    {PacketSummary, "PacketSummary", ERoute::Summary},
};

constexpr bool Ascending() {
  for (std::size_t i = 1; i < std::size(Catalogue); ++i) {
    if (!(Catalogue[i - 1].Number < Catalogue[i].Number)) return false;
  }
  return true;
}
static_assert(Ascending(), "the catalogue is searched by halving: keep its numbers ascending");

}  // namespace

const VObjectTypeInfo* FindObjectType(int32_t number) {
  const VObjectTypeInfo* end = std::end(Catalogue);
  const VObjectTypeInfo* info = std::lower_bound(
      std::begin(Catalogue), end, number, [](const VObjectTypeInfo& entry, int32_t n) { return entry.Number < n; });
  return info != end && info->Number == number ? info : nullptr;
}

bool IsCatalogued(int32_t number) { return FindObjectType(number) != nullptr; }

ERoute RouteOf(int32_t number) {
  const VObjectTypeInfo* info = FindObjectType(number);
  return info ? info->Route : ERoute::Skipped;
}

const char* ObjectTypeName(int32_t number) {
  const VObjectTypeInfo* info = FindObjectType(number);
  return info ? info->Name : "";
}

}  // namespace LumoraQSStream
