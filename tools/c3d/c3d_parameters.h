// VParameterSection: a C3D parameter section built in memory, record by
// record, in the Intel byte order (16-bit words and IEEE floats, least
// significant byte first).
//
// A group record is: name length, group id (negative), name, the signed
// 16-bit offset from that word to the next record, description length,
// description. A parameter record is: name length, group id (positive),
// name, the offset word, the element size (-1 characters, 2 16-bit words,
// 4 floats), the dimension count, one byte per dimension (first dimension
// varying fastest), the elements, description length, description. The
// last record's offset is 0, which ends the section; the section begins
// with a 4-byte header (1 and 0x50, which readers ignore, its block count,
// 83 + processor type) and is zero-filled to whole 512-byte blocks.
//
// Every size is checked against its one-byte or 16-bit field; the first
// size that does not fit is kept as Error() and makes Finish() fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace QSC3D {

constexpr std::size_t BlockBytes = 512;
// A dimension, a name length and a description length are one byte each.
constexpr std::size_t MaxDimension = 255;
constexpr std::size_t MaxNameLength = 127;
constexpr std::size_t MaxDescriptionLength = 255;
// The dimension count of a parameter.
constexpr std::size_t MaxDimensions = 7;
// The offset from a record's offset word to the next record is a signed
// 16-bit word.
constexpr std::size_t MaxRecordOffset = 32767;
// The section's block count is one byte.
constexpr std::size_t MaxParameterBlocks = 255;
// Byte 4 of the section: 83 + processor type 1 (Intel: little-endian
// integers, IEEE floats).
constexpr uint8_t IntelProcessor = 84;

class VParameterSection {
 public:
  VParameterSection();

  void Group(int id, const std::string& name, const std::string& description);
  // Scalars (no dimensions) and arrays of the given dimensions.
  void Int16(int group, const std::string& name, int16_t value, const std::string& description);
  void Int16s(int group, const std::string& name, const std::vector<uint8_t>& dimensions,
              const std::vector<int16_t>& values, const std::string& description);
  void Float(int group, const std::string& name, float value, const std::string& description);
  void Floats(int group, const std::string& name, const std::vector<uint8_t>& dimensions,
              const std::vector<float>& values, const std::string& description);
  // One string: a one-dimensional character array of its length.
  void Text(int group, const std::string& name, const std::string& text, const std::string& description);
  // Strings as rows of one width (the longest, at least 1; shorter rows
  // padded with spaces): dimensions [width, rows]. Rows past what one
  // parameter holds go on in NAME2, NAME3, ... (each at most 255 rows, and
  // fewer when the rows are so wide that the record's offset would not fit).
  void TextRows(int group, const std::string& name, const std::vector<std::string>& rows,
                const std::string& description);
  // The same for numbers: [count] arrays continued in NAME2, NAME3, ...
  void Int16Rows(int group, const std::string& name, const std::vector<int16_t>& values,
                 const std::string& description);
  void FloatRows(int group, const std::string& name, const std::vector<float>& values, const std::string& description);

  // Ends the section: the last record's offset set to 0, the header's block
  // count, zero fill. False with Error() when any record or the section
  // did not fit its field.
  [[nodiscard]] bool Finish();
  // Whole blocks, after Finish().
  const std::vector<uint8_t>& Bytes() const { return Section; }
  std::size_t Blocks() const { return Section.size() / BlockBytes; }
  const std::string& Error() const { return Message; }

 private:
  // Appends a parameter record whose elements are `data`.
  void Parameter(int group, const std::string& name, int8_t elementSize, const std::vector<uint8_t>& dimensions,
                 const std::vector<uint8_t>& data, const std::string& description);
  // Name, id and offset word; the offset is filled in once the record's
  // length is known.
  std::size_t RecordStart(int id, const std::string& name);
  void RecordEnd(std::size_t offsetAt, const std::string& description);
  void Fail(const std::string& message);

  std::vector<uint8_t> Section;
  std::size_t LastOffsetAt = 0;  // 0: no record yet
  std::string Message;
};

// The longest start of `text` of at most `limit` bytes that does not end
// inside a UTF-8 character.
std::string CutAtCharacter(const std::string& text, std::size_t limit);

// Little-endian stores.
inline void PutUint16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}
void PutFloat(uint8_t* at, float value);

}  // namespace QSC3D
