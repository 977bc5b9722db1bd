// Test helpers: building little-endian byte sequences by hand and loading
// them into a memory reader's buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "testing/memory_reader_writer.h"

namespace QSTest {

class ByteBuilder {
 public:
  ByteBuilder& I32(int32_t value) { return Raw(&value, 4); }
  ByteBuilder& U32(uint32_t value) { return Raw(&value, 4); }
  ByteBuilder& I16(int16_t value) { return Raw(&value, 2); }
  ByteBuilder& U16(uint16_t value) { return Raw(&value, 2); }
  ByteBuilder& I64(int64_t value) { return Raw(&value, 8); }
  ByteBuilder& F64(double value) { return Raw(&value, 8); }
  ByteBuilder& F32(float value) { return Raw(&value, 4); }
  ByteBuilder& U8(uint8_t value) { return Raw(&value, 1); }
  ByteBuilder& Str(const std::string& text) {
    I32(static_cast<int32_t>(text.size()));
    return Raw(text.data(), text.size());
  }
  ByteBuilder& Fill(std::size_t count, uint8_t value) {
    Bytes.insert(Bytes.end(), count, value);
    return *this;
  }
  ByteBuilder& Append(const std::vector<uint8_t>& more) {
    Bytes.insert(Bytes.end(), more.begin(), more.end());
    return *this;
  }
  // A framed object: type, the payload's length, the payload.
  ByteBuilder& Object(int32_t type, const std::vector<uint8_t>& payload) {
    I32(type);
    I32(static_cast<int32_t>(payload.size()));
    return Append(payload);
  }
  ByteBuilder& Raw(const void* source, std::size_t count) {
    const auto* bytes = static_cast<const uint8_t*>(source);
    Bytes.insert(Bytes.end(), bytes, bytes + count);
    return *this;
  }

  std::size_t Size() const { return Bytes.size(); }
  const std::vector<uint8_t>& Get() const { return Bytes; }

 private:
  std::vector<uint8_t> Bytes;
};

// A packet: magic, payload length, payload.
inline std::vector<uint8_t> Packet(const std::vector<uint8_t>& payload,
                                   int32_t magic = 0x1A2B3C4D) {
  return ByteBuilder().I32(magic).I32(static_cast<int32_t>(payload.size())).Append(payload).Get();
}

// Puts `bytes` into the reader's buffer (position 0), as a received packet
// payload would be. Returns false only when the fill itself fails, which for
// a non-empty payload would be a fault of the reader.
inline bool LoadPayload(QSTesting::VMemoryReader& reader,
                        const std::vector<uint8_t>& bytes) {
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

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
  return ToHex(bytes.data(), bytes.size());
}

}  // namespace QSTest
