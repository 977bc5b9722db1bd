#include "streamio/writer.h"

#include <cstring>

namespace LumoraQSStreamIO {

VWriter::VWriter() = default;
VWriter::~VWriter() = default;

void VWriter::Put(const void* source, uint32_t width) {
  if (Buffer.size() < static_cast<std::size_t>(Pos) + width) Buffer.resize(Pos + width);
  std::memcpy(Buffer.data() + Pos, source, width);
  Pos += width;
}

void VWriter::StoreAt(uint32_t offset, int32_t value) {
  if (Buffer.size() < static_cast<std::size_t>(offset) + 4) Buffer.resize(offset + 4);
  std::memcpy(Buffer.data() + offset, &value, 4);
}

bool VWriter::Flush() {
  if (Buffer.empty()) return false;
  // A length slot reserved last and not yet filled lies past the buffer end.
  if (Buffer.size() < Pos) Buffer.resize(Pos);
  const bool result = Write(Buffer.data(), Pos);
  Pos = 0;
  Buffer.clear();
  return result;
}

VWriterSection::VWriterSection(VWriter& writer, int32_t leadingWord) : Writer(writer) {
  Writer.WriteInt32(leadingWord);
  Slot = Writer.Pos;
  Writer.Pos += 4;
}

void VWriterSection::Close() {
  if (Closed) return;
  Closed = true;
  Writer.StoreAt(Slot, static_cast<int32_t>(Writer.Pos - Slot - 4));
}

}  // namespace LumoraQSStreamIO
