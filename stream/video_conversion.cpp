#include "stream/video_conversion.h"

#include <algorithm>
#include <cstddef>

using LumoraQSStream::VVideoFrame;

namespace {

enum class ERowRule { A, B, C, D };

inline uint8_t Average(uint8_t a, uint8_t b) { return static_cast<uint8_t>((a + b) / 2); }

inline void SetPixel(uint8_t* pixel, uint8_t b0, uint8_t b1, uint8_t b2) {
  pixel[0] = b0;
  pixel[1] = b1;
  pixel[2] = b2;
}

// Fills output row `out` from input rows `above` and `row` (this row). Pixel
// pairs start at even columns; the second pixel of a pair reads column c + 2
// and is only written while that column exists. The last column stays black.
void ConvertRow(ERowRule rule, const uint8_t* above, const uint8_t* row, uint8_t* out, std::size_t w) {
  for (std::size_t c = 0; c + 1 < w; c += 2) {
    uint8_t* first = out + 3 * c;
    uint8_t* second = first + 3;
    const bool hasSecond = c + 2 < w;
    switch (rule) {
      case ERowRule::A:
        SetPixel(first, above[c + 1], Average(row[c + 1], above[c]), row[c]);
        if (hasSecond) SetPixel(second, above[c + 1], Average(row[c + 1], above[c + 2]), row[c + 2]);
        break;
      case ERowRule::B:
        SetPixel(first, row[c + 1], Average(above[c + 1], row[c]), above[c]);
        if (hasSecond) SetPixel(second, row[c + 1], Average(above[c + 1], row[c + 2]), above[c + 2]);
        break;
      case ERowRule::C:
        SetPixel(first, above[c], Average(row[c], above[c + 1]), row[c + 1]);
        if (hasSecond) SetPixel(second, above[c + 2], Average(above[c + 1], row[c + 2]), row[c + 1]);
        break;
      case ERowRule::D:
        SetPixel(first, row[c], Average(row[c + 1], above[c]), above[c + 1]);
        if (hasSecond) SetPixel(second, row[c + 2], Average(above[c + 2], row[c + 1]), above[c + 1]);
        break;
    }
  }
  if (w != 0) SetPixel(out + 3 * (w - 1), 0, 0, 0);
}

}  // namespace

void ConvertVideoFrame(VVideoFrame& frame, std::vector<uint8_t>& buffer) {
  ERowRule evenRows;
  ERowRule oddRows;
  if (frame.Format == VideoFormat::MosaicA) {
    evenRows = ERowRule::A;
    oddRows = ERowRule::B;
  } else if (frame.Format == VideoFormat::MosaicCD) {
    evenRows = ERowRule::C;
    oddRows = ERowRule::D;
  } else if (frame.Format == VideoFormat::MosaicB) {
    evenRows = ERowRule::B;
    oddRows = ERowRule::A;
  } else {
    return;
  }

  const std::size_t w = frame.Width;
  const std::size_t h = frame.Height;
  // An image with fewer bytes than its size announces cannot be converted
  // faithfully: it is delivered unchanged, still in its mosaic format.
  if (frame.Data.size() < w * h) return;

  buffer.resize(w * h * 3);
  uint8_t* out = buffer.data();
  // Row 0 has no row above it: black. The buffer is reused, so it is
  // cleared explicitly.
  std::fill(out, out + std::min(h, std::size_t{1}) * w * 3, uint8_t{0});
  const uint8_t* in = frame.Data.data();
  for (std::size_t i = 1; i < h; ++i) {
    ConvertRow(i % 2 == 0 ? evenRows : oddRows, in + (i - 1) * w, in + i * w, out + i * w * 3, w);
  }

  frame.Format = VideoFormat::ThreeBytes;
  frame.Data.assign(buffer.begin(), buffer.end());
}
