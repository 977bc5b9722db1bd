// A small C3D reader for the tests: it reads back the files qs-export
// writes, independently of the writer, and refuses anything it cannot read
// with a message instead of guessing. Only Intel byte order is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace QSTestC3D {

// One parameter record: its group, name, element type (-1 character,
// 1 byte, 2 16-bit integer, 4 float), dimensions and raw little-endian data.
struct VParameter {
  std::string Group, Name;
  int8_t Type = 0;
  std::vector<uint8_t> Dimensions;
  std::vector<uint8_t> Data;

  // Element i; 0 when i is past the end or the parameter is of another type.
  [[nodiscard]] int16_t Int(std::size_t i) const;
  [[nodiscard]] float Float(std::size_t i) const;
  [[nodiscard]] uint8_t Byte(std::size_t i) const;
  // A character array, one string per row (the first dimension is the
  // length of each), trailing spaces removed, other bytes kept as stored.
  [[nodiscard]] std::vector<std::string> Strings() const;
  // Number of elements.
  [[nodiscard]] std::size_t Count() const;
};

struct VFile {
  // Header.
  int ParameterBlock = 0, PointCount = 0, AnalogWordsPerFrame = 0 /* channels x samples */;
  int HeaderFirstFrame = 0, HeaderLastFrame = 0;
  float Scale = 0;
  int DataStartBlock = 0;
  int AnalogSamplesPerFrame = 0;
  float FrameRate = 0;
  int ProcessorType = 0;  // the raw byte: 84 Intel, 85 DEC, 86 MIPS

  std::map<std::string, VParameter> Parameters;  // key "GROUP:NAME", upper case
  [[nodiscard]] const VParameter* Find(const std::string& groupColonName) const;

  // LABELS, LABELS2, LABELS3 ... joined in order.
  std::vector<std::string> PointLabels, PointDescriptions, AnalogLabels, AnalogUnits;
  int64_t FirstFrame = 0;  // TRIAL:ACTUAL_START_FIELD when present, else the header's
  uint64_t Frames = 0;
  int AnalogChannels = 0;
  float AnalogRate = 0;

  // Data, frame-major.
  std::vector<float> Points;  // Frames x PointCount x 4: x, y, z, residual (-1 = invalid)
  std::vector<float> Analog;  // Frames x samples x channels: (stored - OFFSET) x SCALE x GEN_SCALE
};

// False with `error` for anything it cannot read.
[[nodiscard]] bool Read(const std::string& path, VFile& file, std::string& error);

}  // namespace QSTestC3D
