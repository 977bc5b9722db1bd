// Build-time guarantees the wire decoders rely on.
#pragma once

// Records are copied from the wire as raw byte images and multi-byte values
// are read with memcpy, which is only correct on a little-endian machine.
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "QS decodes little-endian wire data by copying bytes; big-endian targets are not supported"
#endif
#elif !defined(_WIN32)
#error "QS cannot tell the byte order of this target; only little-endian targets are supported"
#endif

#include <cstdint>
#include <limits>

static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4,
              "samples are IEEE 754 binary32 on the wire");
static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8,
              "reals are IEEE 754 binary64 on the wire");
