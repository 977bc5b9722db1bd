// Static payload classes (the scene description), their decoders and
// VStaticObjects, the container of one packet's static objects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "streamio/object_types.h"
#include "streamio/reader.h"
#include "streamio/shared_list.h"

namespace LumoraQSStream {

using LumoraQSStreamIO::VReader;

// Two 32-bit words, carried unchanged (the pairs of a subject).
struct VPairRecord {
  uint32_t First = 0;
  uint32_t Second = 0;
};
static_assert(sizeof(VPairRecord) == 8, "8-byte pair record");
static_assert(offsetof(VPairRecord, Second) == 4, "pair layout");

struct VSegmentInfo {
  int32_t Value0 = 0;
  int32_t SegmentID = 0;
  std::array<uint32_t, 6> Values{};
  std::string Name;
};

struct VMarkerInfo {
  int32_t MarkerID = 0;
  std::string Name;
};

struct VSubjectInfo {
  int32_t SubjectID = 0;
  std::string Name;
  std::vector<VSegmentInfo> Segments;
  std::vector<VMarkerInfo> Markers;
  std::vector<VPairRecord> Pairs;
};

struct VDeviceInfo {
  int32_t DeviceID = 0;
  int64_t Value0 = 0;
  std::string Name;
};

struct VDeviceOutputInfo {
  int32_t DeviceID = 0;
  int32_t OutputID = 0;
  std::string Name;
  std::vector<std::string> ComponentNames;
};

struct VNamedVectorInfo {
  int32_t ID = 0;
  int64_t Value0 = 0;
  std::string Name;
  std::array<double, 3> Vector{};
};

struct VNamedParameterInfo {
  int32_t ID = 0;
  std::string Name;
  std::array<double, 19> Parameters{};
};

struct VWordBlockInfo {
  int32_t Value0 = 0;
  std::array<uint32_t, 30> Words{};
};

// The static objects of one packet. Once handed to the callback a container
// is never modified again: frame assembly and the carry-over of the next
// packet only read it. Its lists are shared lists: a list carried over into
// the next packet's container, or a container copied whole, shares the
// entries rather than copying them.
struct VStaticObjects {
  int64_t StreamValue = 0;  // 0 until a StreamInfo object (or a carry-over) sets it
  VSharedList<VNamedVectorInfo> NamedVectorInfos;
  VSharedList<VNamedParameterInfo> NamedParameterInfos;
  VSharedList<VSubjectInfo> Subjects;
  VSharedList<VDeviceInfo> Devices;
  VSharedList<VDeviceOutputInfo> DeviceOutputs;
  VSharedList<VWordBlockInfo> WordBlockInfos;
};

// Decoders: each reads one object's payload at the reader's position and
// returns false as soon as a field cannot be read. They are bounded by the
// reader's buffer (the packet), not by the object's declared length.
bool DecodeStreamInfo(VReader& reader, int64_t& value);
bool DecodeSubjectInfo(VReader& reader, VSubjectInfo& subject);
bool DecodeDeviceInfo(VReader& reader, VDeviceInfo& device);
bool DecodeDeviceOutputInfo(VReader& reader, VDeviceOutputInfo& output);
bool DecodeNamedVectorInfo(VReader& reader, VNamedVectorInfo& info);
bool DecodeNamedParameterInfo(VReader& reader, VNamedParameterInfo& info);
bool DecodeWordBlockInfo(VReader& reader, VWordBlockInfo& info);

// Decodes an object of a static type into `objects` by the type's
// accumulation rule (StreamInfo overwrites, the others append). Returns false
// for a failed decode and for a type that is not static.
bool DecodeStaticObject(int32_t type, VReader& reader, VStaticObjects& objects);

}  // namespace LumoraQSStream
