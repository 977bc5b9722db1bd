// Recording files: what qs-record writes and qs-sim --replay, qs-export and
// the Python package read. A file is a header (magic, version, start time,
// host, requested object types) followed by records appended whole, each a
// packet exactly as the server sent it with the host's receive time. The
// layout is documented in docs/recording-format.md.
//
// Every length read from a file is checked against a named bound (and
// against the bytes the file still holds) before anything is allocated for
// it, so a damaged or hostile file is refused with a message, never a crash.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <istream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "stream/packet_reader.h"
#include "streamio/limits.h"
#include "streamio/reader.h"
#include "tools/output/output_file.h"

namespace QSRecording {

// "QSREC", CR LF, Ctrl-Z: a text-mode transfer that rewrites line ends, or
// a truncation to text, breaks the magic.
constexpr uint8_t Magic[8] = {'Q', 'S', 'R', 'E', 'C', '\r', '\n', 0x1a};
constexpr uint32_t FormatVersion = 1;
// Magic, version and header length.
constexpr uint32_t PreambleBytes = 16;
// Bounds of the header body: start time and port, at least an empty host
// and an empty type list; at most 64 KiB.
constexpr uint32_t MinHeaderBytes = 8 + 4 + 4 + 4;
constexpr uint32_t MaxHeaderBytes = 64 * 1024;
// Receive time and packet length before every packet.
constexpr uint32_t RecordHeaderBytes = 12;
// A packet is its 8-byte header and a payload within the library's bound.
constexpr uint32_t PacketHeaderBytes = 8;
constexpr uint32_t MaxRecordPacketBytes = PacketHeaderBytes + LumoraQSStreamIO::MaxPacketPayload;

struct VHeader {
  uint32_t Version = FormatVersion;
  int64_t StartUnixNs = 0;  // wall-clock time of the start, ns since 1970-01-01 UTC
  int32_t Port = 801;
  std::string Host;
  std::set<int32_t> RequestedTypes;
};

// The header as bytes: preamble and body.
std::vector<uint8_t> EncodeHeader(const VHeader& header);

// Appends records to a new file. Each record goes out in one write, and a
// write that fails part-way is cut back off the file, so the file always
// ends on a whole record. The file is written beside `path` and takes its
// place at Close() (QSTools::VOutputFile): a previous recording of that name
// stays whole until then.
class VWriter {
 public:
  VWriter() = default;
  // Discards a file not closed.
  ~VWriter() = default;
  VWriter(const VWriter&) = delete;
  VWriter& operator=(const VWriter&) = delete;

  // Starts the file that becomes `path` and writes the header. False with
  // Error() (nothing is then left behind).
  [[nodiscard]] bool Create(const std::string& path, const VHeader& header);
  // One packet, magic and length included, received `receiveNs` after the
  // start. False with Error() (the file still ends on its last whole record).
  [[nodiscard]] bool Append(int64_t receiveNs, const uint8_t* packet, std::size_t size);
  // Completes the file and puts it at `path`; false with Error() when it
  // could not be written out (it is then discarded).
  [[nodiscard]] bool Close();
  // Removes the file; whatever was at `path` stays.
  void Discard();

  // Bytes in the file: the header and every whole record.
  uint64_t Bytes() const { return Size; }
  const std::string& Error() const { return Message; }

 private:
  bool WriteWhole(iovec* parts, int count);

  QSTools::VOutputFile Output;
  int Fd = -1;
  uint64_t Size = 0;
  std::string Message;
};

// Where one record stands in the file.
struct VRecordEntry {
  uint64_t Number = 0;         // 0 for the first record (the handshake)
  uint64_t RecordOffset = 0;   // byte offset of the record's header
  uint64_t PacketOffset = 0;   // byte offset of its packet
  int64_t ReceiveNs = 0;
  uint32_t PacketBytes = 0;    // magic, payload length and payload
  // Where the value of the packet's last FrameNumber object lies, counted
  // from the start of the packet; 0 when it holds none.
  uint32_t FramePayload = 0;
  int32_t FrameNumber = 0;     // that value
};

enum class ENext {
  Record,     // one more record
  End,        // the file ends after its last record
  Truncated,  // the file ends inside a record: what came before is whole
  Invalid,    // the file is damaged here; Error() says how
};

// Reads a recording from a stream positioned at its start. The stream's
// size is taken once (when it can be), so a record that announces more
// bytes than the file holds is recognised as cut short without allocating.
// Every packet is read and its objects checked (CheckObjects): a record
// whose packet does not split into whole objects is damage, not a packet.
class VReader {
 public:
  explicit VReader(std::istream& in);

  // False with Error(): wrong magic, unknown version, a header length out
  // of its bounds, a header cut short or one whose fields do not fit it.
  bool ReadHeader();
  const VHeader& Header() const { return Head; }

  // The next record; its packet into `packet` unless that is null (then it
  // is read into a buffer of the reader's own). After Truncated or
  // Invalid, Error() says where.
  ENext Next(VRecordEntry& entry, std::vector<uint8_t>* packet);

  // Reads again the record that starts at `recordOffset` and was received
  // at `receiveNs` (random access), with the checks of Next. False with
  // Error() when the file no longer holds that record there (cut, replaced
  // in place, or it cannot seek).
  [[nodiscard]] bool ReadRecordAt(uint64_t recordOffset, int64_t receiveNs, std::vector<uint8_t>& packet);
  // The packet of a record returned earlier by Next.
  [[nodiscard]] bool ReadPacketAt(const VRecordEntry& entry, std::vector<uint8_t>& packet) {
    return ReadRecordAt(entry.RecordOffset, entry.ReceiveNs, packet);
  }

  uint64_t Records() const { return Count; }
  const std::string& Error() const { return Message; }

 private:
  bool ReadExactly(void* destination, std::size_t count);
  ENext Fail(ENext kind, const std::string& message);

  std::istream& In;
  std::vector<uint8_t> Scratch;  // the packet, when the caller does not want it
  uint64_t Size = UINT64_MAX;  // unknown when the stream cannot seek
  uint64_t Offset = 0;
  uint64_t Count = 0;
  int64_t LastReceiveNs = 0;
  VHeader Head;
  std::string Message;
};

// A recording file opened for reading: the stream and its reader.
class VFile {
 public:
  // False with Error() when the file cannot be opened, is not a regular
  // file (a pipe or a device: the readers go back to earlier records, and
  // opening a pipe would wait for a writer), or its header is refused.
  bool Open(const std::string& path);
  VReader& Reader() { return *Recording; }
  const std::string& Error() const { return Message; }

 private:
  std::unique_ptr<std::istream> Stream;
  std::unique_ptr<VReader> Recording;
  std::string Message;
};

// The wire layer's reader over recorded bytes already in memory: one
// recorded packet for the packet reader, or a header's fields. Read() hands
// the bytes out in order, as the socket would have delivered them, and
// fails once they run out, as a closed connection does. The bytes are not
// copied: they must stay in place while they are read. The reader keeps its
// decoding buffer from one packet to the next.
class VRecordedBytesReader : public LumoraQSStreamIO::VReader {
 public:
  VRecordedBytesReader() = default;
  VRecordedBytesReader(const uint8_t* bytes, std::size_t size) { Next(bytes, size); }

  // Reads `bytes` from now on, from their start; what was left of the
  // previous bytes is dropped.
  void Next(const uint8_t* bytes, std::size_t size);
  bool Read(void* destination, std::size_t count) override;
  // Bytes not yet handed out.
  std::size_t Unread() const { return Size - Offset; }

 private:
  const uint8_t* Bytes = nullptr;
  std::size_t Size = 0;
  std::size_t Offset = 0;
};

// The library's packet reader over recorded packets: the first packet is
// read as the handshake, every later one as a data packet, with the same
// framing, decoding and carry-over as on a live connection.
class VPacketDecoder {
 public:
  bool Handshake(const std::vector<uint8_t>& packet);
  // False when the library would reject the packet (and end a connection).
  bool Packet(const std::vector<uint8_t>& packet, LumoraQSStream::VPacketDelivery& delivery);

 private:
  LumoraQSStream::VPacketReader Packets;
  VRecordedBytesReader Recorded;
};

// A recording file read as qs-export and qs-sim --replay read it: the
// framing and objects of every record (VReader), the first packet through
// the library's packet reader as the handshake and every later one as a
// data packet. One record the library would refuse makes the file damaged.
class VCheckedFile {
 public:
  // False with Error(), as VFile::Open.
  bool Open(const std::string& path);
  const VHeader& Header() { return File.Reader().Header(); }
  // The next record, its packet and (for a data packet) what the packet
  // reader delivered from it.
  ENext Next(VRecordEntry& entry, std::vector<uint8_t>& packet, LumoraQSStream::VPacketDelivery& delivery);
  VReader& Reader() { return File.Reader(); }
  const std::string& Error() const { return Message; }

 private:
  VFile File;
  VPacketDecoder Decoder;
  std::string Message;
};

// One object inside a packet's payload, as the packet reader frames it:
// its type and where its bytes (header included) and its payload lie,
// counted from the start of the packet.
struct VObjectSpan {
  int32_t Type = 0;
  uint32_t Begin = 0;         // the object's type field
  uint32_t PayloadBegin = 0;  // after its length field
  uint32_t End = 0;           // its declared end
};

// Calls onObject(VObjectSpan) for each object of a packet (magic and length
// included), in order, as the packet reader walks them: a 32-bit type, a
// 32-bit length n, n bytes. False when the objects cannot be cut out as
// whole byte ranges: a negative length, one that runs past the payload, or
// 1 to 7 bytes left over (the packet reader accepts some of these, reading
// them its own way; a recording holds no such packet).
template <class OnObject>
bool ForEachObject(const uint8_t* packet, std::size_t size, OnObject onObject) {
  if (size < PacketHeaderBytes || size > MaxRecordPacketBytes) return false;
  auto word = [packet](std::size_t at) {
    return static_cast<int32_t>(static_cast<uint32_t>(packet[at]) | static_cast<uint32_t>(packet[at + 1]) << 8 |
                                static_cast<uint32_t>(packet[at + 2]) << 16 | static_cast<uint32_t>(packet[at + 3]) << 24);
  };
  std::size_t at = PacketHeaderBytes;
  while (size - at >= 8) {
    const int32_t length = word(at + 4);
    if (length < 0 || static_cast<uint32_t>(length) > size - at - 8) return false;
    VObjectSpan span;
    span.Type = word(at);
    span.Begin = static_cast<uint32_t>(at);
    span.PayloadBegin = static_cast<uint32_t>(at + 8);
    span.End = static_cast<uint32_t>(at + 8 + static_cast<uint32_t>(length));
    onObject(span);
    at = span.End;
  }
  return at == size;
}

// Splits a packet into its objects (ForEachObject).
bool SplitObjects(const std::vector<uint8_t>& packet, std::vector<VObjectSpan>& objects);

// Checks a recorded packet's objects: they split into whole objects
// (ForEachObject), and every FrameNumber object holds at least its 4-byte
// value. Sets the entry's FramePayload and FrameNumber from the last
// FrameNumber object. False with the reason in `why`.
[[nodiscard]] bool CheckObjects(const std::vector<uint8_t>& packet, VRecordEntry& entry, std::string& why);

}  // namespace QSRecording
