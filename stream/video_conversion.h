// Conversion of one-byte-per-pixel colour mosaic video frames to three bytes
// per pixel.
#pragma once

#include <cstdint>
#include <vector>

#include "streamio/dynamic_objects.h"

namespace VideoFormat {
constexpr int32_t MosaicB = 2;    // row rule B on even rows, A on odd rows
constexpr int32_t MosaicA = 3;    // row rule A on even rows, B on odd rows
constexpr int32_t MosaicCD = 5;   // row rule C on even rows, D on odd rows
constexpr int32_t ThreeBytes = 7; // the result of a conversion
}  // namespace VideoFormat

// Converts `frame` in place when its format is 2, 3 or 5; any other format
// is left unchanged. `buffer` is reused from frame to frame.
void ConvertVideoFrame(LumoraQSStream::VVideoFrame& frame, std::vector<uint8_t>& buffer);
