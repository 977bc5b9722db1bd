// Int32At: the little-endian 32-bit field at a byte position, for code that
// looks at the framing of bytes it holds without a VReader: servers reading a
// request's header, test oracles and fuzz harnesses checking encoded bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "streamio/platform.h"

namespace LumoraQSStreamIO {

// The four bytes at `bytes` (which must hold them) as a signed 32-bit value;
// platform.h guarantees a little-endian target, so they are copied as they are.
inline int32_t Int32At(const uint8_t* bytes) {
  int32_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// The field at `offset` of `bytes` (which must leave 4 bytes).
inline int32_t Int32At(const std::vector<uint8_t>& bytes, std::size_t offset) { return Int32At(bytes.data() + offset); }

}  // namespace LumoraQSStreamIO
