// Test doubles of the socket reader/writer: a reader and a writer backed by
// memory, the stream as a byte vector. Tests, fuzz targets and benchmarks
// drive the packet reader, the decoders and the request builder through
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "streamio/reader.h"
#include "streamio/writer.h"

namespace QSTesting {

// Serves Read() from a byte sequence, in order, as a socket would; fails
// (like a closed connection) once the bytes run out.
class VMemoryReader : public LumoraQSStreamIO::VReader {
 public:
  VMemoryReader() = default;
  explicit VMemoryReader(std::vector<uint8_t> stream) : Stream(std::move(stream)) {}

  bool Read(void* destination, std::size_t count) override;

  // Appends bytes to the stream still to be read.
  void Append(const std::vector<uint8_t>& bytes);
  void Append(const uint8_t* bytes, std::size_t count);
  std::size_t Unread() const { return Stream.size() - Offset; }

 private:
  std::vector<uint8_t> Stream;
  std::size_t Offset = 0;
};

// Collects every successful Write() in `Sent`; `FailWrites` makes Write()
// fail as a broken connection would.
class VMemoryWriter : public LumoraQSStreamIO::VWriter {
 public:
  bool Write(const void* source, std::size_t count) override;

  std::vector<uint8_t> Sent;
  std::vector<std::size_t> WriteSizes;
  bool FailWrites = false;
};

}  // namespace QSTesting
