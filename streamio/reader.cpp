#include "streamio/reader.h"

#include "streamio/limits.h"

namespace LumoraQSStreamIO {

VReader::VReader() = default;
VReader::~VReader() = default;

bool VReader::Fill(uint32_t count) {
  Pos = 0;
  End = 0;
  if (count > MaxPacketPayload) {
    Buffer.clear();
    Data = Buffer.data();
    return false;
  }
  // Resizing keeps the capacity, so a stream of packets of similar size
  // allocates only while the largest one grows; room left by a far larger
  // packet is given back first.
  if (Buffer.capacity() > MaxKeptRoom(count)) VRecordArray<uint8_t>().swap(Buffer);
  Buffer.resize(count);
  Data = Buffer.data();
  if (count == 0) return false;
  if (Read(Buffer.data(), count)) {
    End = count;
    return true;
  }
  // A short read leaves part of the buffer unwritten: nothing of it stays
  // decodable.
  Buffer.clear();
  return false;
}

bool VReader::ReadString(std::string& value) {
  uint32_t length = 0;
  if (!ReadUInt32(length)) return false;
  // Taken as unsigned, a negative length is larger than any buffer.
  if (length > Remaining()) return false;
  value.assign(reinterpret_cast<const char*>(Data + Pos), length);
  Pos += length;
  return true;
}

bool VReader::ReadCount(uint32_t& count, uint32_t minElementBytes) {
  int32_t wire = 0;
  if (!ReadInt32(wire)) return false;
  if (wire < 0) return false;
  const uint32_t value = static_cast<uint32_t>(wire);
  if (minElementBytes != 0 && value > Remaining() / minElementBytes) return false;
  count = value;
  return true;
}

VReaderSection::VReaderSection(VReader& reader, EOpen mode) : Reader(reader) {
  if (mode == EOpen::Refill) {
    if (!Reader.Fill(8)) return;  // empty section, leading word 0
    int32_t length = 0;
    Reader.ReadInt32(Word);
    Reader.ReadInt32(length);
    Declared = length;
    HasHeader = true;
    if (!Reader.Fill(static_cast<uint32_t>(length))) return;  // empty, keeps its word
    Begin = Reader.Position();
    Finish = length;
    return;
  }
  int32_t word = 0;
  if (!Reader.ReadInt32(word)) return;
  Word = word;
  int32_t length = 0;
  if (!Reader.ReadInt32(length)) return;
  Declared = length;
  HasHeader = true;
  Begin = Reader.Position();
  Finish = Begin + static_cast<int64_t>(length);
}

void VReaderSection::Close() {
  if (Closed) return;
  Closed = true;
  // The end of a non-empty section is below 2^32: the start lies inside a
  // buffer of at most MaxPacketPayload bytes and the length below 2^31.
  if (Begin < Finish) Reader.SetPosition(static_cast<uint32_t>(Finish));
}

}  // namespace LumoraQSStreamIO
