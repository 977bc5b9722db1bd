#include "testing/memory_reader_writer.h"

#include <cstring>

namespace QSTesting {

bool VMemoryReader::Read(void* destination, std::size_t count) {
  if (count > Stream.size() - Offset) {
    Offset = Stream.size();  // a short read consumes what was there, as a socket does
    return false;
  }
  if (count != 0) std::memcpy(destination, Stream.data() + Offset, count);
  Offset += count;
  return true;
}

void VMemoryReader::Append(const std::vector<uint8_t>& bytes) {
  Append(bytes.data(), bytes.size());
}

void VMemoryReader::Append(const uint8_t* bytes, std::size_t count) {
  // Drop what was consumed so a long-running feed does not grow without end.
  if (Offset != 0) {
    Stream.erase(Stream.begin(), Stream.begin() + static_cast<std::ptrdiff_t>(Offset));
    Offset = 0;
  }
  Stream.insert(Stream.end(), bytes, bytes + count);
}

bool VMemoryWriter::Write(const void* source, std::size_t count) {
  if (FailWrites) return false;
  const auto* bytes = static_cast<const uint8_t*>(source);
  Sent.insert(Sent.end(), bytes, bytes + count);
  WriteSizes.push_back(count);
  return true;
}

}  // namespace QSTesting
