#include "tools/c3d/c3d_parameters.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace QSC3D {

namespace {

static_assert(std::numeric_limits<float>::is_iec559, "the file's floats are IEEE single precision");

constexpr int8_t CharElement = -1;
constexpr int8_t Int16Element = 2;
constexpr int8_t FloatElement = 4;
// The section header: two bytes readers ignore, the block count, the
// processor. The ignored bytes are those a parameter file would have (its
// first block, the 0x50 key), which some old programs still look for.
constexpr std::size_t SectionHeaderBytes = 4;
constexpr uint8_t IgnoredFirst = 1;
constexpr uint8_t IgnoredKey = 0x50;
constexpr std::size_t BlockCountAt = 2;
constexpr std::size_t ProcessorAt = 3;
// Bytes of a parameter record besides its name, dimensions, elements and
// description: name length, id, offset word, element size, dimension
// count, description length.
constexpr std::size_t ParameterOverhead = 7;

void Append16(std::vector<uint8_t>& to, uint16_t value) {
  to.push_back(static_cast<uint8_t>(value));
  to.push_back(static_cast<uint8_t>(value >> 8));
}

// Rows of `width` bytes one parameter can hold: at most 255, and few enough
// that the record's offset fits its signed word.
std::size_t RowsPerParameter(const std::string& name, std::size_t width, std::size_t dimensions,
                             const std::string& description) {
  const std::size_t fixed = ParameterOverhead + name.size() + 1 + dimensions + description.size();
  if (fixed >= MaxRecordOffset) return 0;
  return std::min(MaxDimension, (MaxRecordOffset - fixed) / std::max<std::size_t>(width, 1));
}

std::string ContinuedName(const std::string& name, std::size_t part) {
  return part == 0 ? name : name + std::to_string(part + 1);
}

// Splits `total` entries into parts of at most `perPart`, and calls
// store(part's name, first entry, count) for each: NAME, then NAME2, NAME3,
// ... At least one part (an empty list is one empty part); stops early when
// `store` returns false.
template <class Store>
void InParts(const std::string& name, std::size_t total, std::size_t perPart, Store store) {
  std::size_t first = 0;
  std::size_t part = 0;
  do {
    const std::size_t count = std::min(perPart, total - first);
    if (!store(ContinuedName(name, part), first, count)) return;
    first += count;
    ++part;
  } while (first < total);
}

// The entries [first, first + count) of `values`.
template <class Value>
std::vector<Value> Slice(const std::vector<Value>& values, std::size_t first, std::size_t count) {
  return std::vector<Value>(values.begin() + static_cast<std::ptrdiff_t>(first),
                            values.begin() + static_cast<std::ptrdiff_t>(first + count));
}

}  // namespace

void PutFloat(uint8_t* at, float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  at[0] = static_cast<uint8_t>(bits);
  at[1] = static_cast<uint8_t>(bits >> 8);
  at[2] = static_cast<uint8_t>(bits >> 16);
  at[3] = static_cast<uint8_t>(bits >> 24);
}

std::string CutAtCharacter(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  // Back over continuation bytes (10xxxxxx) to the start of the character
  // that would be split.
  while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

VParameterSection::VParameterSection() : Section(SectionHeaderBytes, 0) {
  Section[0] = IgnoredFirst;
  Section[1] = IgnoredKey;
  Section[ProcessorAt] = IntelProcessor;
}

void VParameterSection::Fail(const std::string& message) {
  if (Message.empty()) Message = message;
}

std::size_t VParameterSection::RecordStart(int id, const std::string& name) {
  if (name.empty() || name.size() > MaxNameLength) Fail("parameter name '" + name + "' has no room");
  Section.push_back(static_cast<uint8_t>(name.size()));
  Section.push_back(static_cast<uint8_t>(static_cast<int8_t>(id)));
  Section.insert(Section.end(), name.begin(), name.end());
  const std::size_t offsetAt = Section.size();
  Append16(Section, 0);
  LastOffsetAt = offsetAt;
  return offsetAt;
}

void VParameterSection::RecordEnd(std::size_t offsetAt, const std::string& description) {
  const std::string text = CutAtCharacter(description, MaxDescriptionLength);
  Section.push_back(static_cast<uint8_t>(text.size()));
  Section.insert(Section.end(), text.begin(), text.end());
  const std::size_t offset = Section.size() - offsetAt;
  if (offset > MaxRecordOffset) {
    Fail("a parameter record of " + std::to_string(offset) + " bytes is longer than the format's " +
         std::to_string(MaxRecordOffset));
    return;
  }
  PutUint16(&Section[offsetAt], static_cast<uint16_t>(offset));
}

void VParameterSection::Group(int id, const std::string& name, const std::string& description) {
  RecordEnd(RecordStart(-id, name), description);
}

void VParameterSection::Parameter(int group, const std::string& name, int8_t elementSize,
                                  const std::vector<uint8_t>& dimensions, const std::vector<uint8_t>& data,
                                  const std::string& description) {
  if (dimensions.size() > MaxDimensions) Fail("parameter " + name + " has too many dimensions");
  const std::size_t offsetAt = RecordStart(group, name);
  Section.push_back(static_cast<uint8_t>(elementSize));
  Section.push_back(static_cast<uint8_t>(dimensions.size()));
  Section.insert(Section.end(), dimensions.begin(), dimensions.end());
  Section.insert(Section.end(), data.begin(), data.end());
  RecordEnd(offsetAt, description);
}

void VParameterSection::Int16(int group, const std::string& name, int16_t value, const std::string& description) {
  Int16s(group, name, {}, {value}, description);
}

void VParameterSection::Int16s(int group, const std::string& name, const std::vector<uint8_t>& dimensions,
                               const std::vector<int16_t>& values, const std::string& description) {
  std::vector<uint8_t> data;
  data.reserve(values.size() * 2);
  for (int16_t value : values) Append16(data, static_cast<uint16_t>(value));
  Parameter(group, name, Int16Element, dimensions, data, description);
}

void VParameterSection::Float(int group, const std::string& name, float value, const std::string& description) {
  Floats(group, name, {}, {value}, description);
}

void VParameterSection::Floats(int group, const std::string& name, const std::vector<uint8_t>& dimensions,
                               const std::vector<float>& values, const std::string& description) {
  std::vector<uint8_t> data(values.size() * 4);
  for (std::size_t i = 0; i < values.size(); ++i) PutFloat(&data[i * 4], values[i]);
  Parameter(group, name, FloatElement, dimensions, data, description);
}

void VParameterSection::Text(int group, const std::string& name, const std::string& text,
                             const std::string& description) {
  const std::string stored = CutAtCharacter(text, MaxDimension);
  Parameter(group, name, CharElement, {static_cast<uint8_t>(stored.size())},
            std::vector<uint8_t>(stored.begin(), stored.end()), description);
}

void VParameterSection::TextRows(int group, const std::string& name, const std::vector<std::string>& rows,
                                 const std::string& description) {
  std::size_t width = 1;
  for (const std::string& row : rows) width = std::max(width, row.size());
  if (width > MaxDimension) {
    Fail("a row of " + name + " is wider than the format's " + std::to_string(MaxDimension) + " bytes");
    return;
  }
  const std::size_t perParameter = RowsPerParameter(name + "99", width, 2, description);
  if (perParameter == 0) {
    Fail("parameter " + name + " has no room for a row");
    return;
  }
  InParts(name, rows.size(), perParameter, [&](const std::string& partName, std::size_t first, std::size_t count) {
    std::vector<uint8_t> data(width * count, ' ');
    for (std::size_t row = 0; row < count; ++row) {
      const std::string& text = rows[first + row];
      std::copy(text.begin(), text.end(), data.begin() + static_cast<std::ptrdiff_t>(row * width));
    }
    Parameter(group, partName, CharElement, {static_cast<uint8_t>(width), static_cast<uint8_t>(count)}, data,
              description);
    return Message.empty();
  });
}

void VParameterSection::Int16Rows(int group, const std::string& name, const std::vector<int16_t>& values,
                                  const std::string& description) {
  InParts(name, values.size(), MaxDimension, [&](const std::string& partName, std::size_t first, std::size_t count) {
    Int16s(group, partName, {static_cast<uint8_t>(count)}, Slice(values, first, count), description);
    return true;
  });
}

void VParameterSection::FloatRows(int group, const std::string& name, const std::vector<float>& values,
                                  const std::string& description) {
  InParts(name, values.size(), MaxDimension, [&](const std::string& partName, std::size_t first, std::size_t count) {
    Floats(group, partName, {static_cast<uint8_t>(count)}, Slice(values, first, count), description);
    return true;
  });
}

bool VParameterSection::Finish() {
  if (LastOffsetAt != 0) PutUint16(&Section[LastOffsetAt], 0);
  const std::size_t blocks = (Section.size() + BlockBytes - 1) / BlockBytes;
  if (Message.empty() && blocks > MaxParameterBlocks) {
    Fail("the parameters need " + std::to_string(Section.size()) + " bytes, more than the format's " +
         std::to_string(MaxParameterBlocks) + " blocks of " + std::to_string(BlockBytes));
  }
  if (!Message.empty()) return false;
  Section.resize(blocks * BlockBytes, 0);
  Section[BlockCountAt] = static_cast<uint8_t>(blocks);
  return true;
}

}  // namespace QSC3D
