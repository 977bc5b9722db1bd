// The catalogue of object types: one row per type, holding everything the
// library does differently from one type to the next. It is the one place
// that knows the types; every per-type list in the code is an expansion of
// QS_OBJECT_TYPES, so that adding a type is one row here plus its payload
// class, its container member and its decoder.
#pragma once

#include <cstdint>
#include <vector>

namespace LumoraQSStream {

// The columns of a row, in order:
//   Name      its name, which is also its EObjectType constant
//   Number    its type number on the wire
//   Route     where a data packet's object of this type goes: into the
//             packet's Static or Dynamic container, into the packet
//             Summary, or Skipped (stepped over undecoded)
//   Holder    the container that keeps its data, Static or Dynamic, or None
//             (type 8 is skipped but keeps an always-empty list)
//   Member    that container's member for it (- without a holder)
//   Rule      how an object adds to the member: Overwrite (one value),
//             Replace (a record array read whole), Append (one element per
//             object), AppendShared (one shared element per object); the
//             last object of a packet wins unless it appends
//   Decoder   its payload decoder, bool (VReader&, element&) (- if none)
//   Carried   Yes when a packet summary may carry it over from the previous
//             packet's container into the next
//   Record    how a frame record holds it: Copy (a single value copied
//             into the field named Field), Shared (a list read through the
//             record's shared scene or frame data, by the accessor named
//             Field), Handles (video frames: counted handles the frame
//             client makes) or No
//   Field     the frame record's field or accessor (- if none)
//   Kind      who asks the server for it: Scene (every connection, from the
//             start), Segments, Markers or ForcePlates (the export of that
//             data kind), Unasked (switched off at every connection),
//             Untouched (never configured), Control (protocol objects)
//   Step      for Scene and the switched-off kinds, its place in the order
//             in which a new connection configures the types (0 otherwise)
//
// Rows are in ascending number order (the lookup halves the table).
// clang-format off
#define QS_OBJECT_TYPES(X)                                                                                                             \
/*  Name                  Number  Route    Holder   Member               Rule          Decoder                   Carried Record   Field                 Kind         Step */ \
  X(StreamInfo,           1,      Static,  Static,  StreamValue,         Overwrite,    DecodeStreamInfo,         Yes,    Copy,    StreamValue,          Scene,       1)  \
  X(SubjectInfo,          2,      Static,  Static,  Subjects,            Append,       DecodeSubjectInfo,        Yes,    Shared,  SubjectInfos,         Scene,       2)  \
  X(DeviceInfo,           3,      Static,  Static,  Devices,             Append,       DecodeDeviceInfo,         Yes,    Shared,  DeviceInfos,          Scene,       3)  \
  X(DeviceOutputInfo,     4,      Static,  Static,  DeviceOutputs,       Append,       DecodeDeviceOutputInfo,   Yes,    Shared,  DeviceOutputInfos,    Scene,       4)  \
  X(FrameNumber,          5,      Dynamic, Dynamic, FrameNumber,         Overwrite,    DecodeFrameNumber,        Yes,    Copy,    FrameNumber,          Scene,       5)  \
  X(MarkerPositions,      6,      Dynamic, Dynamic, MarkerPositions,     Replace,      DecodeMarkerPositions,    Yes,    Shared,  MarkerPositions,      Markers,     6)  \
  X(MarkerRecords,        7,      Dynamic, Dynamic, MarkerRecords,       Replace,      DecodeMarkerRecords,      Yes,    Shared,  MarkerRecords,        Markers,     7)  \
  X(OtherSegmentPoses,    8,      Skipped, Dynamic, OtherSegmentPoses,   Append,       -,                        No,     Shared,  OtherSegmentPoses,    Segments,    8)  \
  X(GlobalSegmentPoses,   9,      Dynamic, Dynamic, GlobalSegmentPoses,  Append,       DecodeSegmentPoses,       Yes,    Shared,  GlobalSegmentPoses,   Segments,    9)  \
  X(ForceData,            10,     Dynamic, Dynamic, Forces,              Append,       DecodeDeviceOutputData,   No,     Shared,  ForceData,            ForcePlates, 10) \
  X(MomentData,           11,     Dynamic, Dynamic, Moments,             Append,       DecodeDeviceOutputData,   No,     Shared,  MomentData,           ForcePlates, 11) \
  X(CentreOfPressureData, 12,     Dynamic, Dynamic, CentresOfPressure,   Append,       DecodeDeviceOutputData,   No,     Shared,  CentreOfPressureData, ForcePlates, 12) \
  X(VoltageData,          13,     Dynamic, Dynamic, Voltages,            Append,       DecodeDeviceOutputData,   No,     Shared,  VoltageData,          ForcePlates, 13) \
  X(NamedVectorInfo,      14,     Static,  Static,  NamedVectorInfos,    Append,       DecodeNamedVectorInfo,    Yes,    Shared,  NamedVectorInfos,     Unasked,     2)  \
  X(Reserved15,           15,     Skipped, None,    -,                   -,            -,                        No,     No,      -,                    Unasked,     3)  \
  X(BlockData,            16,     Dynamic, Dynamic, BlockDatas,          Append,       DecodeBlockData,          Yes,    Shared,  BlockData,            Unasked,     4)  \
  X(ChunkData,            17,     Dynamic, Dynamic, ChunkDatas,          Append,       DecodeChunkData,          Yes,    Shared,  ChunkData,            Unasked,     14) \
  X(ShortRecordData,      18,     Dynamic, Dynamic, ShortRecordDatas,    Append,       DecodeShortRecordData,    Yes,    Shared,  ShortRecordData,      Unasked,     15) \
  X(NamedParameterInfo,   19,     Static,  Static,  NamedParameterInfos, Append,       DecodeNamedParameterInfo, Yes,    Shared,  NamedParameterInfos,  Unasked,     1)  \
  X(WordBlockInfo,        20,     Static,  Static,  WordBlockInfos,      Append,       DecodeWordBlockInfo,      Yes,    No,      -,                    Untouched,   0)  \
  X(Reserved21,           21,     Skipped, None,    -,                   -,            -,                        No,     No,      -,                    Untouched,   0)  \
  X(VideoFrame,           22,     Dynamic, Dynamic, VideoFrames,         AppendShared, DecodeVideoFrame,         Yes,    Handles, -,                    Unasked,     5)  \
  X(ObjectTypeList,       100001, Skipped, None,    -,                   -,            -,                        No,     No,      -,                    Control,     0)  \
  X(StreamMode,           100002, Skipped, None,    -,                   -,            -,                        No,     No,      -,                    Control,     0)  \
  X(PacketSummary,        100004, Summary, None,    -,                   -,            -,                        No,     No,      -,                    Control,     0)
// clang-format on

#define QS_OBJECT_TYPE_CONSTANT(Name, Number, ...) Name = Number,
enum EObjectType : int32_t { QS_OBJECT_TYPES(QS_OBJECT_TYPE_CONSTANT) };
#undef QS_OBJECT_TYPE_CONSTANT

// First word of every packet in both directions (bytes 4D 3C 2B 1A).
constexpr int32_t PacketMagic = 0x1A2B3C4D;

enum class ERoute {
  Static,   // decoded into the packet's VStaticObjects
  Dynamic,  // decoded into the packet's VDynamicObjects
  Summary,  // decoded into the packet reader's VPacketSummary
  Skipped,  // stepped over without decoding (also every unknown number)
};

// Who asks the server for a type (the Kind column).
enum class EDataKind {
  Scene,        // every connection, from its start: scene and frame numbers
  Segments,     // EnableSegmentData
  Markers,      // EnableMarkerData
  ForcePlates,  // EnableForcePlateData
  Unasked,      // switched off at every connection, never switched on
  Untouched,    // never configured
  Control,      // protocol objects, not data
};

struct VObjectTypeInfo {
  int32_t Number;
  const char* Name;
  ERoute Route;
  EDataKind Kind;
  int ConnectStep;  // the Step column
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

// The types of `kind`, in ascending number order.
std::vector<int32_t> TypesOfKind(EDataKind kind);

// The types a new connection switches on (the Scene kind) or off (the data
// kinds and Unasked), in the order of their connect steps.
std::vector<int32_t> TypesEnabledAtConnect();
std::vector<int32_t> TypesDisabledAtConnect();

}  // namespace LumoraQSStream
