// Hand-built wire bytes in tests: loading a payload into a memory reader
// and showing bytes as hex. The bytes themselves are built with
// LumoraQSServe::VWireBuffer, the encoders' own builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testing/memory_reader_writer.h"

namespace QSTesting {

// Puts `bytes` into the reader's buffer (position 0), as a received packet
// payload would be. Returns false only when the fill itself fails, which for
// a non-empty payload would be a fault of the reader.
inline bool LoadPayload(VMemoryReader& reader, const std::vector<uint8_t>& bytes) {
  reader.Append(bytes);
  return reader.Fill(static_cast<uint32_t>(bytes.size())) || bytes.empty();
}

inline std::string ToHex(const uint8_t* bytes, std::size_t count) {
  static const char Digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(Digits[bytes[i] >> 4]);
    text.push_back(Digits[bytes[i] & 0xF]);
  }
  return text;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) { return ToHex(bytes.data(), bytes.size()); }

// A packet's objects read from the framing alone (type and length fields,
// the payloads are not looked at): their types in order, and the offset
// where the walk stopped, which is the packet's size when the objects fill
// the payload exactly.
struct VObjectWalk {
  std::vector<int32_t> Types;
  std::size_t End = 0;
};
VObjectWalk WalkObjects(const std::vector<uint8_t>& packet);

}  // namespace QSTesting
