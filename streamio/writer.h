// VWriter: encodes little-endian values into one block that Flush() hands
// on. VWriterSection: a leading word plus a length slot filled in on close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "streamio/platform.h"

namespace LumoraQSStreamIO {

class VWriter {
 public:
  VWriter();
  VWriter(const VWriter&) = delete;
  VWriter& operator=(const VWriter&) = delete;

  // Sends all `count` bytes or returns false.
  virtual bool Write(const void* source, std::size_t count) = 0;
  virtual ~VWriter();

  void WriteInt32(int32_t value) { Put(&value, 4); }
  void WriteByte(uint8_t value) { Put(&value, 1); }

  // Sends buffer[0, position) with one Write() and empties the buffer,
  // whatever the outcome. An empty writer sends nothing and returns false.
  bool Flush();

  uint32_t Position() const { return Pos; }
  // The bytes written so far (the buffer never holds more than the highest
  // byte written).
  const std::vector<uint8_t>& Bytes() const { return Buffer; }

 private:
  friend class VWriterSection;
  void Put(const void* source, uint32_t width);
  void StoreAt(uint32_t offset, int32_t value);

  std::vector<uint8_t> Buffer;
  uint32_t Pos = 0;
};

// Writes the leading word, reserves a 32-bit length slot and, when closed
// (at the end of its scope, also by an exception), stores in the slot the
// number of bytes written after it. Sections nest.
class VWriterSection {
 public:
  VWriterSection(VWriter& writer, int32_t leadingWord);
  ~VWriterSection() { Close(); }
  VWriterSection(const VWriterSection&) = delete;
  VWriterSection& operator=(const VWriterSection&) = delete;

  void Close();

 private:
  VWriter& Writer;
  uint32_t Slot;
  bool Closed = false;
};

}  // namespace LumoraQSStreamIO
