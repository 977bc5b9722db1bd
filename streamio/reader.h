// VReader: decodes little-endian values by position from one block of
// received bytes. VReaderSection: the scope of one packet or one object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "streamio/platform.h"
#include "streamio/record_array.h"

namespace LumoraQSStreamIO {

// Abstract reader. A subclass supplies bytes through Read(); Fill() pulls
// exactly one block into the buffer and the typed reads decode from it.
// Every typed read checks that its bytes lie inside the buffer before it
// copies anything; on failure it returns false and leaves the destination
// untouched.
class VReader {
 public:
  VReader();
  VReader(const VReader&) = delete;
  VReader& operator=(const VReader&) = delete;

  // Delivers exactly `count` bytes into `destination`, or returns false.
  virtual bool Read(void* destination, std::size_t count) = 0;
  virtual ~VReader();

  // True when the last failed Read() found the source ended cleanly (the
  // peer closed its side, or a memory block was used up) rather than failed.
  bool SourceClosed() const { return Closed; }

  // Replaces the buffer by the next `count` bytes from Read(). Position goes
  // to 0. Fill(0) returns false without reading. Counts above
  // MaxPacketPayload are refused without allocating.
  bool Fill(uint32_t count);

  uint32_t Position() const { return Pos; }
  void SetPosition(uint32_t position) { Pos = position; }
  uint32_t Length() const { return static_cast<uint32_t>(Buffer.size()); }
  // Bytes between the position and the end of what may be read: the buffer
  // end, or the limit while one is set (0 when past it).
  uint32_t Remaining() const { return Pos < End ? End - Pos : 0; }

  // Typed reads stop at `end` (at most the buffer end) until ClearLimit or
  // the next Fill: a read past it fails, and a count is checked against it,
  // as at the buffer end.
  void Limit(uint32_t end) { End = end < Length() ? end : Length(); }
  void ClearLimit() { End = Length(); }

  bool ReadInt32(int32_t& value) { return Take(&value, 4); }
  bool ReadUInt32(uint32_t& value) { return Take(&value, 4); }
  bool ReadInt16(int16_t& value) { return Take(&value, 2); }
  bool ReadUInt16(uint16_t& value) { return Take(&value, 2); }
  // The 64-bit integers of the stream are read as 8 raw bytes.
  bool ReadInt64(int64_t& value) { return Take(&value, 8); }
  bool ReadDouble(double& value) { return Take(&value, 8); }

  // 32-bit length n, then n bytes of text. A negative length never fits.
  bool ReadString(std::string& value);

  // `count` values of a trivially copyable type, copied as one block into a
  // fixed destination (for example six 32-bit words or three reals).
  template <class T>
  bool ReadValues(T* destination, uint32_t count) {
    static_assert(std::is_trivially_copyable<T>::value, "raw copy");
    return Take(destination, static_cast<uint64_t>(count) * sizeof(T));
  }

  // `count` records of sizeof(T) bytes into `destination`, which is sized
  // only after all the bytes are known to be present.
  template <class T, class Allocator>
  bool ReadArray(std::vector<T, Allocator>& destination, uint32_t count) {
    static_assert(std::is_trivially_copyable<T>::value, "raw copy");
    const uint64_t size = static_cast<uint64_t>(count) * sizeof(T);
    if (size > Remaining()) return false;
    destination.resize(count);
    if (size != 0) std::memcpy(destination.data(), Data + Pos, static_cast<std::size_t>(size));
    Pos += static_cast<uint32_t>(size);
    return true;
  }

  // A record array: a signed 32-bit count, then that many records copied in
  // one block. A negative count, or one whose records are not all present,
  // fails before the destination is touched.
  template <class T, class Allocator>
  bool ReadRecords(std::vector<T, Allocator>& destination) {
    uint32_t count = 0;
    if (!ReadCount(count, sizeof(T))) return false;
    return ReadArray(destination, count);
  }

  // Reads a signed 32-bit element count and checks it against the bytes
  // left, given the smallest encoding of one element. On success `count` may
  // be used to reserve storage: at most Remaining() / minElementBytes.
  bool ReadCount(uint32_t& count, uint32_t minElementBytes);

 protected:
  // For Read(): records whether the source ended cleanly.
  void SetSourceClosed(bool closed) { Closed = closed; }

  // The received block. Its size is the number of decodable bytes; resizing
  // it for the next packet neither zero-fills nor, within its capacity,
  // allocates.
  VRecordArray<uint8_t> Buffer;

 private:
  bool Take(void* destination, uint64_t size) {
    if (size > Remaining()) return false;
    if (size != 0) std::memcpy(destination, Data + Pos, static_cast<std::size_t>(size));
    Pos += static_cast<uint32_t>(size);
    return true;
  }

  const uint8_t* Data = nullptr;
  uint32_t Pos = 0;
  uint32_t End = 0;  // typed reads stop here
  bool Closed = false;
};

// The scope of one length-prefixed section: a leading 32-bit word (a packet's
// magic or an object's type), a signed 32-bit length and the body. Closing
// the section, explicitly or when it goes out of scope (also by an
// exception), moves the reader to the declared end of a non-empty body,
// whatever the code in between consumed.
class VReaderSection {
 public:
  enum class EOpen {
    Refill,   // a packet: read 8 header bytes, then Fill() the body
    InPlace,  // an object: header read at the current position
  };

  VReaderSection(VReader& reader, EOpen mode);
  ~VReaderSection() { Close(); }
  VReaderSection(const VReaderSection&) = delete;
  VReaderSection& operator=(const VReaderSection&) = delete;

  void Close();

  int32_t LeadingWord() const { return Word; }
  // The length as read from the wire (0 when it could not be read).
  int32_t DeclaredLength() const { return Declared; }
  // True when the header was complete (leading word and length present).
  bool HeaderRead() const { return HasHeader; }
  int64_t Start() const { return Begin; }
  int64_t End() const { return Finish; }
  bool Empty() const { return !(Begin < Finish); }
  // True while `position` lies in [Start, End).
  bool Contains(uint32_t position) const { return Begin <= position && position < Finish; }

 private:
  VReader& Reader;
  int32_t Word = 0;
  int32_t Declared = 0;
  bool HasHeader = false;
  int64_t Begin = 0;
  int64_t Finish = 0;
  bool Closed = false;
};

}  // namespace LumoraQSStreamIO
