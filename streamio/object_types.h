// The catalogue of object type numbers: each number with its name and the
// route the packet reader gives it. This is the one place that knows them.
#pragma once

#include <cstdint>

namespace LumoraQSStream {

enum EObjectType : int32_t {
  StreamInfo = 1,
  SubjectInfo = 2,
  DeviceInfo = 3,
  DeviceOutputInfo = 4,
  FrameNumber = 5,
  MarkerPositions = 6,
  MarkerRecords = 7,
  OtherSegmentPoses = 8,
  GlobalSegmentPoses = 9,
  ForceData = 10,
  MomentData = 11,
  CentreOfPressureData = 12,
  VoltageData = 13,
  NamedVectorInfo = 14,
  Reserved15 = 15,
  BlockData = 16,
  ChunkData = 17,
  ShortRecordData = 18,
  NamedParameterInfo = 19,
  WordBlockInfo = 20,
  Reserved21 = 21,
  VideoFrame = 22,
  ObjectTypeList = 100001,
  StreamMode = 100002,
  PacketSummary = 100004,
};

// First word of every packet in both directions (bytes 4D 3C 2B 1A).
constexpr int32_t PacketMagic = 0x1A2B3C4D;

enum class ERoute {
  Static,   // decoded into the packet's VStaticObjects
  Dynamic,  // decoded into the packet's VDynamicObjects
  Summary,  // decoded into the packet reader's VPacketSummary
  Skipped,  // stepped over without decoding (also every unknown number)
};

struct VObjectTypeInfo {
  int32_t Number;
  const char* Name;
  ERoute Route;
};

// The entry for `number`, or nullptr for a number outside the catalogue.
const VObjectTypeInfo* FindObjectType(int32_t number);

// Whether `number` is in the catalogue.
bool IsCatalogued(int32_t number);

// The route of any number; unknown numbers, and the control types a client
// never decodes inside a data packet, are skipped.
ERoute RouteOf(int32_t number);

// The catalogue name ("SubjectInfo", ...), or "" for an unknown number.
const char* ObjectTypeName(int32_t number);

}  // namespace LumoraQSStream
