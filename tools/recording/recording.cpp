#include "tools/recording/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "serve/wire_encoder.h"
#include "streamio/field_at.h"
#include "streamio/object_types.h"

namespace QSRecording {

namespace {

// The little-endian unsigned 32-bit field at `bytes`.
uint32_t UInt32At(const uint8_t* bytes) { return static_cast<uint32_t>(LumoraQSStreamIO::Int32At(bytes)); }

int64_t Int64At(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return static_cast<int64_t>(value);
}

// A record's 12-byte head: its receive time and its packet's length.
void ReadRecordHead(const uint8_t* head, VRecordEntry& entry) {
  entry.ReceiveNs = Int64At(head);
  entry.PacketBytes = UInt32At(head + 8);
}

// The packet's own header agrees with the record: the packet magic, and a
// payload length that is the rest of the record.
bool FramedAsRecorded(const std::vector<uint8_t>& packet, uint32_t packetBytes) {
  return static_cast<int32_t>(UInt32At(packet.data())) == LumoraQSStream::PacketMagic &&
         UInt32At(packet.data() + 4) == packetBytes - PacketHeaderBytes;
}

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::vector<uint8_t> EncodeHeader(const VHeader& header) {
  LumoraQSServe::VWireBuffer body;
  body.Int64(header.StartUnixNs).Int32(header.Port).String(header.Host);
  body.Int32(static_cast<int32_t>(header.RequestedTypes.size()));
  for (int32_t type : header.RequestedTypes) body.Int32(type);
  LumoraQSServe::VWireBuffer file;
  file.Raw(Magic, sizeof Magic).UInt32(header.Version).UInt32(static_cast<uint32_t>(body.Size())).Raw(body.Bytes());
  return file.Take();
}

// ---- Writing ---------------------------------------------------------------

bool VWriter::Create(const std::string& path, const VHeader& header) {
  Discard();
  Size = 0;
  const std::vector<uint8_t> bytes = EncodeHeader(header);
  if (bytes.size() - PreambleBytes > MaxHeaderBytes) {
    Message = "the header is larger than " + std::to_string(MaxHeaderBytes) + " bytes (host name too long?)";
    return false;
  }
  if (!Output.Create(path)) {
    Message = Output.Error();
    return false;
  }
  Fd = Output.Descriptor();
  iovec part{const_cast<uint8_t*>(bytes.data()), bytes.size()};
  if (WriteWhole(&part, 1)) return true;
  Discard();
  return false;
}

bool VWriter::Append(int64_t receiveNs, const uint8_t* packet, std::size_t size) {
  if (Fd < 0) {
    Message = "no recording file is open";
    return false;
  }
  if (receiveNs < 0 || size < PacketHeaderBytes || size > MaxRecordPacketBytes) {
    Message = "a packet of " + std::to_string(size) + " bytes received at " + std::to_string(receiveNs) +
              " ns cannot be recorded";
    return false;
  }
  LumoraQSServe::VWireBuffer head;
  head.Int64(receiveNs).UInt32(static_cast<uint32_t>(size));
  iovec parts[2] = {{const_cast<uint8_t*>(head.Bytes().data()), head.Size()},
                    {const_cast<uint8_t*>(packet), size}};
  return WriteWhole(parts, 2);
}

bool VWriter::WriteWhole(iovec* parts, int count) {
  std::size_t total = 0;
  for (int i = 0; i < count; ++i) total += parts[i].iov_len;
  std::size_t written = 0;
  while (written < total) {
    const ssize_t n = ::writev(Fd, parts, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Message = n < 0 ? SystemError("cannot write the recording") : "cannot write the recording: no room left";
      // Whatever part of the record went out is cut off again: the file
      // keeps ending on its last whole record.
      if (::ftruncate(Fd, static_cast<off_t>(Size)) == 0) ::lseek(Fd, static_cast<off_t>(Size), SEEK_SET);
      return false;
    }
    written += static_cast<std::size_t>(n);
    // Step past what went out, for the next writev.
    std::size_t skip = static_cast<std::size_t>(n);
    int first = 0;
    while (first < count && skip >= parts[first].iov_len) skip -= parts[first++].iov_len;
    parts += first;
    count -= first;
    if (count > 0) {
      parts[0].iov_base = static_cast<uint8_t*>(parts[0].iov_base) + skip;
      parts[0].iov_len -= skip;
    }
  }
  Size += total;
  return true;
}

bool VWriter::Close() {
  if (Fd < 0) return true;
  Fd = -1;
  if (Output.Commit()) return true;
  Message = Output.Error();
  return false;
}

void VWriter::Discard() {
  Fd = -1;
  Output.Discard();
}

// ---- Reading ---------------------------------------------------------------

VReader::VReader(std::istream& in) : In(in) {
  const std::istream::pos_type start = In.tellg();
  if (start != std::istream::pos_type(-1) && In.seekg(0, std::ios::end)) {
    const std::istream::pos_type end = In.tellg();
    if (end != std::istream::pos_type(-1) && end >= start) Size = static_cast<uint64_t>(end - start);
  }
  In.clear();
  In.seekg(start);
  In.clear();
}

bool VReader::ReadExactly(void* destination, std::size_t count) {
  In.read(static_cast<char*>(destination), static_cast<std::streamsize>(count));
  const std::size_t got = static_cast<std::size_t>(In.gcount());
  Offset += got;
  return got == count;
}

ENext VReader::Fail(ENext kind, const std::string& message) {
  Message = message;
  return kind;
}

bool VReader::ReadHeader() {
  uint8_t preamble[PreambleBytes];
  const bool whole = ReadExactly(preamble, sizeof preamble);
  const std::size_t seen = Offset < sizeof Magic ? static_cast<std::size_t>(Offset) : sizeof Magic;
  if (seen == 0 || std::memcmp(preamble, Magic, seen) != 0) {
    Message = "not a QS recording (the file does not start with the recording magic)";
    return false;
  }
  if (!whole) {
    Message = "the file ends inside its header";
    return false;
  }
  Head = VHeader{};
  Head.Version = UInt32At(preamble + 8);
  if (Head.Version != FormatVersion) {
    Message = "recording format version " + std::to_string(Head.Version) + " is not supported (this program reads version " +
              std::to_string(FormatVersion) + ")";
    return false;
  }
  const uint32_t length = UInt32At(preamble + 12);
  if (length < MinHeaderBytes || length > MaxHeaderBytes) {
    Message = "header length " + std::to_string(length) + " is out of range (" + std::to_string(MinHeaderBytes) + " to " +
              std::to_string(MaxHeaderBytes) + " bytes)";
    return false;
  }
  if (Size != UINT64_MAX && Size - Offset < length) {
    Message = "the file ends inside its header";
    return false;
  }
  std::vector<uint8_t> body(length);
  if (!ReadExactly(body.data(), body.size())) {
    Message = "the file ends inside its header";
    return false;
  }
  // The body is read with the wire layer's bounded primitives: counts and
  // string lengths are checked against the bytes left before any storage.
  VRecordedBytesReader fields(body.data(), body.size());
  fields.Fill(length);
  uint32_t types = 0;
  bool ok = fields.ReadInt64(Head.StartUnixNs) && fields.ReadInt32(Head.Port) && fields.ReadString(Head.Host) &&
            fields.ReadCount(types, LumoraQSStreamIO::TypeNumberBytes);
  for (uint32_t i = 0; ok && i < types; ++i) {
    int32_t type = 0;
    ok = fields.ReadInt32(type);
    Head.RequestedTypes.insert(type);
  }
  // Bytes after the known fields are left for compatible additions.
  if (!ok) {
    Message = "the header's fields do not fit its length (damaged header)";
    return false;
  }
  return true;
}

ENext VReader::Next(VRecordEntry& entry, std::vector<uint8_t>* packet) {
  entry = VRecordEntry{};
  entry.Number = Count;
  entry.RecordOffset = Offset;
  const std::string where = "record " + std::to_string(Count) + " at byte " + std::to_string(Offset);
  const std::string cut = "the file is cut short inside " + where + "; the " + std::to_string(Count) +
                          " whole records before it were read";
  uint8_t head[RecordHeaderBytes];
  const uint64_t before = Offset;
  if (!ReadExactly(head, sizeof head)) {
    if (Offset == before) return ENext::End;
    return Fail(ENext::Truncated, cut);
  }
  ReadRecordHead(head, entry);
  entry.PacketOffset = Offset;
  // A length or a time that can be read whole is judged whatever follows.
  if (entry.PacketBytes < PacketHeaderBytes || entry.PacketBytes > MaxRecordPacketBytes) {
    return Fail(ENext::Invalid, where + " declares a packet of " + std::to_string(entry.PacketBytes) +
                                    " bytes, outside the bounds of 8 to " + std::to_string(MaxRecordPacketBytes) + " bytes");
  }
  if (entry.ReceiveNs < LastReceiveNs) {
    return Fail(ENext::Invalid, where + " has a receive time before the previous record's");
  }
  // Known to be cut short: nothing is allocated for the missing bytes.
  if (Size != UINT64_MAX && Size - Offset < entry.PacketBytes) return Fail(ENext::Truncated, cut);
  std::vector<uint8_t>& bytes = packet ? *packet : Scratch;
  bytes.resize(entry.PacketBytes);
  if (!ReadExactly(bytes.data(), bytes.size())) {
    bytes.clear();
    return Fail(ENext::Truncated, cut);
  }
  if (!FramedAsRecorded(bytes, entry.PacketBytes)) {
    return Fail(ENext::Invalid, where + " does not hold a packet of its length (wrong packet magic or length)");
  }
  std::string why;
  if (!CheckObjects(bytes, entry, why)) return Fail(ENext::Invalid, where + " " + why);
  LastReceiveNs = entry.ReceiveNs;
  ++Count;
  return ENext::Record;
}

bool VReader::ReadRecordAt(uint64_t recordOffset, int64_t receiveNs, std::vector<uint8_t>& packet) {
  const std::string where = "record at byte " + std::to_string(recordOffset);
  In.clear();
  In.seekg(static_cast<std::streamoff>(recordOffset));
  uint8_t head[RecordHeaderBytes];
  bool ok = static_cast<bool>(In);
  if (ok) {
    In.read(reinterpret_cast<char*>(head), sizeof head);
    ok = In.gcount() == static_cast<std::streamsize>(sizeof head);
  }
  VRecordEntry entry;
  if (ok) {
    ReadRecordHead(head, entry);
    ok = entry.ReceiveNs == receiveNs && entry.PacketBytes >= PacketHeaderBytes && entry.PacketBytes <= MaxRecordPacketBytes;
  }
  if (ok) {
    packet.resize(entry.PacketBytes);
    In.read(reinterpret_cast<char*>(packet.data()), entry.PacketBytes);
    ok = static_cast<uint64_t>(In.gcount()) == entry.PacketBytes && FramedAsRecorded(packet, entry.PacketBytes);
  }
  std::string why;
  if (ok && !CheckObjects(packet, entry, why)) ok = false;
  // Sequential reading goes on where it was.
  In.clear();
  In.seekg(static_cast<std::streamoff>(Offset));
  In.clear();
  if (!ok) {
    packet.clear();
    Message = "the " + where + " can no longer be read as it was checked (the file was cut, changed or replaced" +
              (why.empty() ? std::string(")") : "; " + why + ")");
  }
  return ok;
}

bool VFile::Open(const std::string& path) {
  // A pipe is refused before it is opened: opening it would wait for a
  // writer, and what was read from it cannot be read again.
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    Message = SystemError("cannot open " + path);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    Message = std::string("not a regular file (") + (S_ISFIFO(status.st_mode) ? "a pipe" : "a device or folder") +
              "): a recording is read from a file, which must be saved to disk first";
    return false;
  }
  auto stream = std::make_unique<std::ifstream>(path, std::ios::binary);
  if (!stream->is_open()) {
    Message = SystemError("cannot open " + path);
    return false;
  }
  Stream = std::move(stream);
  Recording = std::make_unique<VReader>(*Stream);
  if (!Recording->ReadHeader()) {
    Message = Recording->Error();
    return false;
  }
  return true;
}

bool VCheckedFile::Open(const std::string& path) {
  if (File.Open(path)) return true;
  Message = File.Error();
  return false;
}

ENext VCheckedFile::Next(VRecordEntry& entry, std::vector<uint8_t>& packet, LumoraQSStream::VPacketDelivery& delivery) {
  delivery = LumoraQSStream::VPacketDelivery{};
  const ENext next = File.Reader().Next(entry, &packet);
  if (next != ENext::Record) {
    Message = File.Reader().Error();
    return next;
  }
  const std::string at = "record " + std::to_string(entry.Number) + " at byte " + std::to_string(entry.RecordOffset);
  if (entry.Number == 0) {
    if (Decoder.Handshake(packet)) return next;
    Message = at + " is not a handshake the library accepts (no valid list of offered types)";
    return ENext::Invalid;
  }
  if (Decoder.Packet(packet, delivery)) return next;
  Message = at + " holds a packet the library refuses (an object that does not decode)";
  return ENext::Invalid;
}

// ---- Decoding --------------------------------------------------------------

void VRecordedBytesReader::Next(const uint8_t* bytes, std::size_t size) {
  Bytes = bytes;
  Size = size;
  Offset = 0;
}

bool VRecordedBytesReader::Read(void* destination, std::size_t count) {
  if (count > Size - Offset) {
    Offset = Size;  // a short read consumes what was there, as a socket does
    return false;
  }
  if (count != 0) std::memcpy(destination, Bytes + Offset, count);
  Offset += count;
  return true;
}

bool VPacketDecoder::Handshake(const std::vector<uint8_t>& packet) {
  Recorded.Next(packet.data(), packet.size());
  const bool ok = static_cast<bool>(Packets.ReadHandshake(Recorded));
  // A packet the reader did not consume whole was framed differently from
  // its record.
  return ok && Recorded.Unread() == 0;
}

bool VPacketDecoder::Packet(const std::vector<uint8_t>& packet, LumoraQSStream::VPacketDelivery& delivery) {
  Recorded.Next(packet.data(), packet.size());
  const bool ok = static_cast<bool>(Packets.ReadPacket(Recorded, false, delivery));
  return ok && Recorded.Unread() == 0;
}

bool SplitObjects(const std::vector<uint8_t>& packet, std::vector<VObjectSpan>& objects) {
  objects.clear();
  return ForEachObject(packet.data(), packet.size(), [&objects](const VObjectSpan& span) { objects.push_back(span); });
}

bool CheckObjects(const std::vector<uint8_t>& packet, VRecordEntry& entry, std::string& why) {
  entry.FramePayload = 0;
  entry.FrameNumber = 0;
  bool shortFrameNumber = false;
  const bool whole = ForEachObject(packet.data(), packet.size(), [&](const VObjectSpan& object) {
    if (object.Type != LumoraQSStream::FrameNumber) return;
    if (object.End - object.PayloadBegin < 4) shortFrameNumber = true;
    else entry.FramePayload = object.PayloadBegin;
  });
  if (!whole) {
    why = "holds a packet whose objects do not fit it (a negative length, one past the payload, or bytes left over)";
    return false;
  }
  if (shortFrameNumber) {
    why = "holds a frame number object shorter than its 4-byte value";
    return false;
  }
  if (entry.FramePayload != 0) entry.FrameNumber = static_cast<int32_t>(UInt32At(packet.data() + entry.FramePayload));
  return true;
}

}  // namespace QSRecording
