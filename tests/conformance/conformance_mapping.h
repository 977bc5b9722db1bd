// The conformance set's JSON form of the decoded containers, in both
// directions: the conformance tests turn what the packet reader decoded into
// it, and the encoding tests turn the expected values back into containers
// to encode. Each type's keys are listed once, in its Fields function; the
// member types decide the JSON form: numbers, text, lists, byte arrays as
// hex text, a missing video frame as null.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "streamio/dynamic_objects.h"
#include "streamio/static_objects.h"
#include "testing/wire_bytes.h"
#include "tests/conformance/conformance_file.h"

namespace QSTesting {

namespace ConformanceFields {

namespace S = LumoraQSStream;

// Fields(value, field) calls field(key, member) once for every key of the
// type's JSON object.
template <class F> void Fields(S::VSegmentInfo& v, F&& field) {
  field("value0", v.Value0); field("id", v.SegmentID); field("values", v.Values); field("name", v.Name);
}
template <class F> void Fields(S::VMarkerInfo& v, F&& field) { field("id", v.MarkerID); field("name", v.Name); }
template <class F> void Fields(S::VSubjectInfo& v, F&& field) {
  field("id", v.SubjectID); field("name", v.Name); field("segments", v.Segments);
  field("markers", v.Markers); field("pairs", v.Pairs);
}
template <class F> void Fields(S::VDeviceInfo& v, F&& field) {
  field("id", v.DeviceID); field("value0", v.Value0); field("name", v.Name);
}
template <class F> void Fields(S::VDeviceOutputInfo& v, F&& field) {
  field("device_id", v.DeviceID); field("output_id", v.OutputID); field("name", v.Name);
  field("component_names", v.ComponentNames);
}
template <class F> void Fields(S::VNamedVectorInfo& v, F&& field) {
  field("id", v.ID); field("value0", v.Value0); field("name", v.Name); field("vector", v.Vector);
}
template <class F> void Fields(S::VNamedParameterInfo& v, F&& field) {
  field("id", v.ID); field("name", v.Name); field("parameters", v.Parameters);
}
template <class F> void Fields(S::VWordBlockInfo& v, F&& field) { field("value0", v.Value0); field("words", v.Words); }
template <class F> void Fields(S::VStaticObjects& v, F&& field) {
  field("stream_value", v.StreamValue); field("subjects", v.Subjects); field("devices", v.Devices);
  field("device_outputs", v.DeviceOutputs); field("named_vectors", v.NamedVectorInfos);
  field("named_parameters", v.NamedParameterInfos); field("word_blocks", v.WordBlockInfos);
}

template <class F> void Fields(S::VMarkerPosition& v, F&& field) {
  field("subject_id", v.SubjectID); field("marker_id", v.MarkerID); field("reserved_hex", v.Reserved);
  field("position", v.Position); field("trailing", v.Trailing);
}
template <class F> void Fields(S::VSegmentPose& v, F&& field) {
  field("segment_id", v.SegmentID); field("reserved_hex", v.Reserved); field("translation", v.Translation);
  field("rotation", v.Rotation);
}
template <class F> void Fields(S::VSegmentPoses& v, F&& field) { field("subject_id", v.SubjectID); field("poses", v.Poses); }
template <class F> void Fields(S::VDeviceOutputData& v, F&& field) {
  field("value0", v.Value0); field("device_id", v.DeviceID); field("output_id", v.OutputID);
  field("samples", v.Samples);
}
template <class F> void Fields(S::VBlockData& v, F&& field) {
  field("value0", v.Value0); field("value1", v.Value1); field("blocks", v.Blocks);
}
template <class F> void Fields(S::VShortRecordData& v, F&& field) {
  field("value0", v.Value0); field("value1", v.Value1); field("records", v.Records);
}
template <class F> void Fields(S::VChunk& v, F&& field) {
  field("value0", v.Value0); field("value1", v.Value1); field("bytes_hex", v.Bytes);
}
template <class F> void Fields(S::VChunkData& v, F&& field) {
  field("value0", v.Value0); field("value1", v.Value1); field("groups", v.Groups);
}
template <class F> void Fields(S::VVideoFrame& v, F&& field) {
  field("value0", v.Value0); field("value1", v.Value1); field("value2", v.Value2); field("value3", v.Value3);
  field("width", v.Width); field("height", v.Height); field("format", v.Format); field("data_hex", v.Data);
}
// OtherSegmentPoses is not part of the form: type 8 is skipped and the list
// stays empty (the conformance tests check that on their own).
template <class F> void Fields(S::VDynamicObjects& v, F&& field) {
  field("frame_number", v.FrameNumber); field("marker_positions", v.MarkerPositions);
  field("marker_records", v.MarkerRecords); field("global_segment_poses", v.GlobalSegmentPoses);
  field("forces", v.Forces); field("moments", v.Moments); field("centres_of_pressure", v.CentresOfPressure);
  field("voltages", v.Voltages); field("block_data", v.BlockDatas); field("short_record_data", v.ShortRecordDatas);
  field("chunk_data", v.ChunkDatas); field("video_frames", v.VideoFrames);
}

// Fixed-size byte records stand in the form as their bytes' hex text alone.
inline auto& RecordBytes(S::VMarkerRecord& v) { return v.Bytes; }
inline auto& RecordBytes(S::VBlockRecord& v) { return v.Bytes; }
inline auto& RecordBytes(S::VShortRecord& v) { return v.Bytes; }

struct VAnyField {
  template <class T> void operator()(const char*, T&) const {}
};
template <class T, class = void> struct HasFields : std::false_type {};
template <class T>
struct HasFields<T, std::void_t<decltype(Fields(std::declval<T&>(), VAnyField()))>> : std::true_type {};
template <class T, class = void> struct IsByteRecord : std::false_type {};
template <class T>
struct IsByteRecord<T, std::void_t<decltype(RecordBytes(std::declval<T&>()))>> : std::true_type {};

// Lists: std::array (fixed size), std::vector with any allocator, the
// scene's shared lists.
template <class T> struct ListOf { static constexpr bool Is = false; };
template <class T, std::size_t N> struct ListOf<std::array<T, N>> {
  static constexpr bool Is = true;
  using Element = T;
};
template <class T, class A> struct ListOf<std::vector<T, A>> {
  static constexpr bool Is = true;
  using Element = T;
};
template <class T> struct ListOf<LumoraQSStream::VSharedList<T>> {
  static constexpr bool Is = true;
  using Element = T;
};
template <class T> struct SharedOf { static constexpr bool Is = false; };
template <class T> struct SharedOf<std::shared_ptr<T>> {
  static constexpr bool Is = true;
  using Element = T;
};

template <class T, std::size_t N> void Resize(std::array<T, N>&, std::size_t size) {
  if (size != N) throw std::runtime_error("list of " + std::to_string(size) + " where " + std::to_string(N) + " belong");
}
template <class T, class A> void Resize(std::vector<T, A>& list, std::size_t size) { list.resize(size); }
template <class T> void Resize(LumoraQSStream::VSharedList<T>& list, std::size_t size) { list.resize(size); }

}  // namespace ConformanceFields

// `value` in the conformance set's form.
template <class T>
nlohmann::json ToConformanceJson(const T& value) {
  using namespace ConformanceFields;
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<double>(value);
  } else if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::string>) {
    return value;
  } else if constexpr (ListOf<T>::Is) {
    if constexpr (std::is_same_v<typename ListOf<T>::Element, uint8_t>) {
      return ToHex(value.data(), value.size());
    } else {
      nlohmann::json list = nlohmann::json::array();
      for (const auto& element : value) list.push_back(ToConformanceJson(element));
      return list;
    }
  } else if constexpr (SharedOf<T>::Is) {
    return value ? ToConformanceJson(*value) : nlohmann::json(nullptr);
  } else if constexpr (std::is_same_v<T, S::VPairRecord>) {
    return nlohmann::json::array({value.First, value.Second});
  } else if constexpr (IsByteRecord<T>::value) {
    return ToConformanceJson(RecordBytes(const_cast<T&>(value)));
  } else {
    static_assert(HasFields<T>::value, "a type of the decoded containers without its Fields");
    nlohmann::json object = nlohmann::json::object();
    // Fields takes the value as modifiable for both directions; this one
    // only reads it.
    Fields(const_cast<T&>(value), [&](const char* key, const auto& member) { object[key] = ToConformanceJson(member); });
    return object;
  }
}

// Fills `value` from `json`, in the conformance set's form. Throws
// (nlohmann::json::exception, std::runtime_error) where the form does not
// fit: a missing key, a wrong type, a fixed-size list of another size, text
// that is not hex.
template <class T>
void FromConformanceJson(const nlohmann::json& json, T& value) {
  using namespace ConformanceFields;
  if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::string>) {
    value = json.get<T>();
  } else if constexpr (ListOf<T>::Is) {
    if constexpr (std::is_same_v<typename ListOf<T>::Element, uint8_t>) {
      std::vector<uint8_t> bytes;
      if (!FromHex(json.get<std::string>(), bytes)) throw std::runtime_error("not hex: " + json.dump());
      Resize(value, bytes.size());
      std::copy(bytes.begin(), bytes.end(), value.begin());
    } else {
      Resize(value, json.size());
      for (std::size_t i = 0; i < json.size(); ++i) FromConformanceJson(json.at(i), value[i]);
    }
  } else if constexpr (SharedOf<T>::Is) {
    value.reset();
    if (json.is_null()) return;
    value = std::make_shared<typename SharedOf<T>::Element>();
    FromConformanceJson(json, *value);
  } else if constexpr (std::is_same_v<T, S::VPairRecord>) {
    value = {json.at(0).get<uint32_t>(), json.at(1).get<uint32_t>()};
  } else if constexpr (IsByteRecord<T>::value) {
    FromConformanceJson(json, RecordBytes(value));
  } else {
    static_assert(HasFields<T>::value, "a type of the decoded containers without its Fields");
    Fields(value, [&](const char* key, auto& member) { FromConformanceJson(json.at(key), member); });
  }
}

template <class T>
T FromConformanceJson(const nlohmann::json& json) {
  T value{};
  FromConformanceJson(json, value);
  return value;
}

}  // namespace QSTesting
