#include "streamio/static_objects.h"

#include "streamio/limits.h"

namespace LumoraQSStream {

using namespace LumoraQSStreamIO;

bool DecodeStreamInfo(VReader& reader, int64_t& value) { return reader.ReadInt64(value); }

namespace {

bool DecodeSegmentInfo(VReader& reader, VSegmentInfo& segment) {
  return reader.ReadInt32(segment.Value0) && reader.ReadInt32(segment.SegmentID) &&
         reader.ReadValues(segment.Values.data(), 6) && reader.ReadString(segment.Name);
}

bool DecodeMarkerInfo(VReader& reader, VMarkerInfo& marker) {
  return reader.ReadInt32(marker.MarkerID) && reader.ReadString(marker.Name);
}

}  // namespace

bool DecodeSubjectInfo(VReader& reader, VSubjectInfo& subject) {
  if (!reader.ReadInt32(subject.SubjectID) || !reader.ReadString(subject.Name)) return false;

  uint32_t segments = 0;
  if (!reader.ReadCount(segments, MinSegmentInfoBytes)) return false;
  subject.Segments.clear();
  subject.Segments.reserve(segments);
  for (uint32_t i = 0; i < segments; ++i) {
    if (!DecodeSegmentInfo(reader, subject.Segments.emplace_back())) return false;
  }

  uint32_t markers = 0;
  if (!reader.ReadCount(markers, MinMarkerInfoBytes)) return false;
  subject.Markers.clear();
  subject.Markers.reserve(markers);
  for (uint32_t i = 0; i < markers; ++i) {
    if (!DecodeMarkerInfo(reader, subject.Markers.emplace_back())) return false;
  }

  return reader.ReadRecords(subject.Pairs);
}

bool DecodeDeviceInfo(VReader& reader, VDeviceInfo& device) {
  return reader.ReadInt32(device.DeviceID) && reader.ReadInt64(device.Value0) &&
         reader.ReadString(device.Name);
}

bool DecodeDeviceOutputInfo(VReader& reader, VDeviceOutputInfo& output) {
  if (!reader.ReadInt32(output.DeviceID) || !reader.ReadInt32(output.OutputID) ||
      !reader.ReadString(output.Name)) {
    return false;
  }
  uint32_t names = 0;
  if (!reader.ReadCount(names, MinStringBytes)) return false;
  output.ComponentNames.clear();
  output.ComponentNames.reserve(names);
  for (uint32_t i = 0; i < names; ++i) {
    if (!reader.ReadString(output.ComponentNames.emplace_back())) return false;
  }
  return true;
}

bool DecodeNamedVectorInfo(VReader& reader, VNamedVectorInfo& info) {
  return reader.ReadInt32(info.ID) && reader.ReadInt64(info.Value0) &&
         reader.ReadString(info.Name) && reader.ReadValues(info.Vector.data(), 3);
}

bool DecodeNamedParameterInfo(VReader& reader, VNamedParameterInfo& info) {
  // Nineteen reals, in groups of 3, 9, 2, 2, 1, 1 and 1 that follow each
  // other without a gap: one block.
  return reader.ReadInt32(info.ID) && reader.ReadString(info.Name) &&
         reader.ReadValues(info.Parameters.data(), 19);
}

bool DecodeWordBlockInfo(VReader& reader, VWordBlockInfo& info) {
  // Thirty words, in groups of 3, 9, 6, 3 and 9: one block.
  return reader.ReadInt32(info.Value0) && reader.ReadValues(info.Words.data(), 30);
}

namespace {

// The Rule column: how a decoded object adds to its container member.
template <class Value, class Decode>
bool Overwrite(VReader& reader, Value& value, Decode decode) {
  return decode(reader, value);
}

template <class Element, class Decode>
bool Append(VReader& reader, VSharedList<Element>& list, Decode decode) {
  return decode(reader, list.emplace_back());
}

}  // namespace

bool DecodeStaticObject(int32_t type, VReader& reader, VStaticObjects& objects) {
  // A case for every type the packet reader routes to the static container.
#define QS_STATIC_CASE_Static(Name, Member, Rule, Decoder) \
  case Name:                                               \
    return Rule(reader, objects.Member, Decoder);
#define QS_STATIC_CASE_Dynamic(...)
#define QS_STATIC_CASE_Summary(...)
#define QS_STATIC_CASE_Skipped(...)
#define QS_STATIC_CASE(Name, Number, Route, Holder, Member, Rule, Decoder, ...) \
  QS_STATIC_CASE_##Route(Name, Member, Rule, Decoder)
  switch (type) {
    QS_OBJECT_TYPES(QS_STATIC_CASE)
    default:
      return false;
  }
#undef QS_STATIC_CASE
#undef QS_STATIC_CASE_Skipped
#undef QS_STATIC_CASE_Summary
#undef QS_STATIC_CASE_Dynamic
#undef QS_STATIC_CASE_Static
}

}  // namespace LumoraQSStream
