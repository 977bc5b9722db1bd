#include "fuzz/harness.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "serve/wire_encoder.h"
#include "stream/packet_reader.h"
#include "stream/video_conversion.h"
#include "streamio/dynamic_objects.h"
#include "streamio/field_at.h"
#include "streamio/limits.h"
#include "streamio/object_types.h"
#include "streamio/static_objects.h"
#include "testing/memory_reader_writer.h"
#include "tools/recording/recording.h"

// Where a sanitizer runs (the fuzz targets, the ASan and TSan builds of the
// replay tests) its allocator calls hooks on every allocation and release
// and tells a block's size; elsewhere these are null and nothing is counted.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                              void (*free_hook)(const volatile void*)) __attribute__((weak));
std::size_t __sanitizer_get_allocated_size(const volatile void* block) __attribute__((weak));
}

using namespace LumoraQSStream;
using QSTesting::VMemoryReader;

namespace QSFuzz {

namespace {

// Everything a harness computes from decoded data ends here, so that no
// read of a decoded value can be optimised away.
volatile uint64_t Sink = 0;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "QS fuzz oracle failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

using LumoraQSStreamIO::Int32At;

uint64_t Mix(uint64_t h, uint64_t v) { return (h ^ v) * 0x100000001b3ull; }

uint64_t Touch(const std::string& s) {
  uint64_t h = s.size();
  for (char c : s) h = Mix(h, static_cast<uint8_t>(c));
  return h;
}

template <class T, class Allocator>
uint64_t TouchBytes(const std::vector<T, Allocator>& v) {
  uint64_t h = v.size();
  const auto* bytes = reinterpret_cast<const uint8_t*>(v.data());
  const std::size_t n = v.size() * sizeof(T);
  for (std::size_t i = 0; i < n; i += 7) h = Mix(h, bytes[i]);
  if (n != 0) h = Mix(h, bytes[n - 1]);
  return h;
}

uint64_t Touch(const VStaticObjects& s) {
  uint64_t h = static_cast<uint64_t>(s.StreamValue);
  for (const auto& subject : s.Subjects) {
    h = Mix(h, Touch(subject.Name) + static_cast<uint32_t>(subject.SubjectID));
    for (const auto& segment : subject.Segments) h = Mix(h, Touch(segment.Name) + segment.Values[5]);
    for (const auto& marker : subject.Markers) h = Mix(h, Touch(marker.Name));
    h = Mix(h, TouchBytes(subject.Pairs));
  }
  for (const auto& device : s.Devices) h = Mix(h, Touch(device.Name) + static_cast<uint64_t>(device.Value0));
  for (const auto& output : s.DeviceOutputs) {
    h = Mix(h, Touch(output.Name));
    for (const auto& name : output.ComponentNames) h = Mix(h, Touch(name));
  }
  for (const auto& info : s.NamedVectorInfos) h = Mix(h, Touch(info.Name));
  for (const auto& info : s.NamedParameterInfos) h = Mix(h, Touch(info.Name));
  for (const auto& info : s.WordBlockInfos) h = Mix(h, info.Words[29]);
  return h;
}

uint64_t Touch(const VDynamicObjects& d) {
  uint64_t h = static_cast<uint32_t>(d.FrameNumber);
  h = Mix(h, TouchBytes(d.MarkerPositions));
  h = Mix(h, TouchBytes(d.MarkerRecords));
  for (const auto& poses : d.GlobalSegmentPoses) h = Mix(h, TouchBytes(poses.Poses));
  for (const auto* list : {&d.Forces, &d.Moments, &d.CentresOfPressure, &d.Voltages}) {
    for (const auto& data : *list) h = Mix(h, TouchBytes(data.Samples));
  }
  for (const auto& block : d.BlockDatas) h = Mix(h, TouchBytes(block.Blocks));
  for (const auto& chunks : d.ChunkDatas) {
    for (const auto& group : chunks.Groups) {
      for (const auto& chunk : group) h = Mix(h, TouchBytes(chunk.Bytes));
    }
  }
  for (const auto& records : d.ShortRecordDatas) h = Mix(h, TouchBytes(records.Records));
  for (const auto& frame : d.VideoFrames) {
    Check(frame != nullptr, "a delivered video frame is null");
    h = Mix(h, TouchBytes(frame->Data) + frame->Width + frame->Height);
  }
  return h;
}

// ---- Amplification ----------------------------------------------------------

std::atomic<bool> Counting{false};
std::atomic<int64_t> Live{0};
std::atomic<int64_t> PeakLive{0};

void OnAllocate(const volatile void*, std::size_t size) {
  if (!Counting.load(std::memory_order_relaxed)) return;
  const int64_t live = Live.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed) +
                       static_cast<int64_t>(size);
  int64_t peak = PeakLive.load(std::memory_order_relaxed);
  while (live > peak && !PeakLive.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

void OnRelease(const volatile void* block) {
  if (!block || !Counting.load(std::memory_order_relaxed)) return;
  Live.fetch_sub(static_cast<int64_t>(__sanitizer_get_allocated_size(block)), std::memory_order_relaxed);
}

bool CanCountAllocations() {
  static const bool installed = __sanitizer_install_malloc_and_free_hooks && __sanitizer_get_allocated_size &&
                                __sanitizer_install_malloc_and_free_hooks(OnAllocate, OnRelease) != 0;
  return installed;
}

// The input up to the end of the packet that starts at `offset`, as far as
// the client takes it: a packet whose payload is cut short still has its
// buffer sized for the whole payload its header announces (up to
// MaxPacketPayload) before the read fails.
uint64_t InputThroughPacket(const std::vector<uint8_t>& stream, std::size_t offset) {
  if (stream.size() - offset < 8) return stream.size();
  const int32_t length = Int32At(&stream[offset + 4]);
  const bool sized = length >= 0 && static_cast<uint32_t>(length) <= LumoraQSStreamIO::MaxPacketPayload;
  return std::max<uint64_t>(stream.size(), offset + 8 + (sized ? static_cast<uint32_t>(length) : 0));
}

// Runs `step`, the reading of the packet at `offset`, then checks the most
// bytes that were live at once while it ran, above those live before it,
// against what the library promises to hold for the input through that
// packet (MaxHeldBytes: the packet itself, and the earlier packets whose
// lists it may copy as carried over), plus a little for the containers a
// packet may create.
template <class Step>
void CheckAmplification(const std::vector<uint8_t>& stream, std::size_t offset, Step&& step) {
  if (!CanCountAllocations()) {
    step();
    return;
  }
  Live = 0;
  PeakLive = 0;
  Counting = true;
  step();
  Counting = false;
  constexpr uint64_t ContainerSlack = 4096;
  const uint64_t input = InputThroughPacket(stream, offset);
  const uint64_t bound = LumoraQSStreamIO::MaxHeldBytes(static_cast<uint32_t>(std::min<uint64_t>(input, UINT32_MAX))) +
                         ContainerSlack;
  const uint64_t peak = static_cast<uint64_t>(PeakLive.load());
  if (peak > bound) {
    std::fprintf(stderr, "reading a packet held %llu bytes at once after %llu bytes of input (bound %llu)\n",
                 static_cast<unsigned long long>(peak), static_cast<unsigned long long>(input),
                 static_cast<unsigned long long>(bound));
    Fail("a packet held more memory than its bytes allow (amplification)");
  }
}

// ---- Video reference --------------------------------------------------------

uint8_t Avg(uint8_t a, uint8_t b) { return static_cast<uint8_t>((unsigned{a} + unsigned{b}) / 2); }

// The converted image, pixel by pixel from the 2x2 window of input rows
// i - 1 and i and columns k and k + 1, each sample named by the parity of its
// own row and column. Row 0 and the last column are black.
VRecordArray<uint8_t> ReferenceConversion(int32_t format, std::size_t w, std::size_t h,
                                          const uint8_t* in) {
  VRecordArray<uint8_t> out(w * h * 3, 0);
  for (std::size_t i = 1; i < h; ++i) {
    for (std::size_t k = 0; k + 1 < w; ++k) {
      uint8_t ee = 0, eo = 0, oe = 0, oo = 0;
      for (std::size_t r = i - 1; r <= i; ++r) {
        for (std::size_t c = k; c <= k + 1; ++c) {
          const uint8_t v = in[r * w + c];
          if (r % 2 == 0) {
            (c % 2 == 0 ? ee : eo) = v;
          } else {
            (c % 2 == 0 ? oe : oo) = v;
          }
        }
      }
      uint8_t* p = &out[(i * w + k) * 3];
      switch (format) {
        case 3: p[0] = oo; p[1] = Avg(eo, oe); p[2] = ee; break;
        case 5: p[0] = oe; p[1] = Avg(ee, oo); p[2] = eo; break;
        case 2: p[0] = eo; p[1] = Avg(ee, oo); p[2] = oe; break;
        default: Fail("reference asked for a format that is not a mosaic");
      }
    }
  }
  return out;
}

// ---- Decoders ---------------------------------------------------------------

// The type numbers the selector byte picks, in selector order.
constexpr int32_t SelectorTypes[DecoderCount] = {
    StreamInfo,        SubjectInfo,     DeviceInfo,         DeviceOutputInfo, NamedVectorInfo,
    NamedParameterInfo, WordBlockInfo,  FrameNumber,        MarkerPositions,  MarkerRecords,
    GlobalSegmentPoses, ForceData,      BlockData,          ChunkData,        ShortRecordData,
    VideoFrame,         PacketSummary,  ObjectTypeList};

// An independent reading of "count, then count 32-bit type numbers" at
// `p`, within `size` bytes; false when it does not fit.
bool ParseTypeList(const uint8_t* p, std::size_t size, std::set<int32_t>& types, std::size_t& used) {
  if (size < 4) return false;
  const int32_t count = Int32At(p);
  if (count < 0 || static_cast<uint64_t>(count) * 4 > size - 4) return false;
  types.clear();
  for (int32_t i = 0; i < count; ++i) types.insert(Int32At(p + 4 + 4 * static_cast<std::size_t>(i)));
  used = 4 + 4 * static_cast<std::size_t>(count);
  return true;
}

void CheckRoundTrip(const LumoraQSServe::VBytes& encoded, const uint8_t* payload, uint32_t consumed,
                    const char* what) {
  if (encoded.size() != consumed || (consumed != 0 && std::memcmp(encoded.data(), payload, consumed) != 0)) {
    std::fprintf(stderr, "%s: decoded %u bytes, encoding the result gives %zu bytes%s\n", what,
                 consumed, encoded.size(), encoded.size() == consumed ? " that differ" : "");
    Fail("decoded value does not encode back to the bytes it came from");
  }
}

// A packet header announcing more bytes than the stream still holds makes
// the reader size its buffer for the whole announced payload before the read
// fails (up to 256 MiB). That path costs seconds per input under the
// sanitizers and is covered by the hostile-peer tests, so the stream is cut
// before such a packet, unless `keepSmall` asks to keep one announcing at
// most 1 MiB.
void CutTruncatedPacket(std::vector<uint8_t>& stream, bool keepSmall) {
  std::size_t position = 0;
  while (stream.size() - position >= 8) {
    const int32_t length = Int32At(&stream[position + 4]);
    if (length < 0) return;  // refused before anything is sized
    const std::size_t left = stream.size() - position - 8;
    if (static_cast<uint32_t>(length) > left) {
      if (!(keepSmall && length <= (1 << 20))) stream.resize(position);
      return;
    }
    position += 8 + static_cast<uint32_t>(length);
  }
}

}  // namespace

std::vector<uint8_t> DefaultHandshake() {
  std::set<int32_t> offered;
  for (int32_t t = 1; t <= 22; ++t) offered.insert(t);
  return LumoraQSServe::EncodePacket({LumoraQSServe::EncodeObjectTypeList(offered)});
}

int DecoderSelectorForType(int32_t type) {
  for (uint8_t i = 0; i < DecoderCount; ++i) {
    if (SelectorTypes[i] == type) return i;
  }
  // The other three device output types share the force data decoder.
  if (type == MomentData || type == CentreOfPressureData || type == VoltageData) return 11;
  return -1;
}

VOutcome RunPacketReader(const uint8_t* data, std::size_t size) {
  VOutcome outcome;
  if (size == 0) return outcome;
  const uint8_t flags = data[0];
  const bool convert = (flags & 1) != 0;
  std::vector<uint8_t> stream;
  if (flags & 2) stream = DefaultHandshake();
  stream.insert(stream.end(), data + 1, data + size);
  CutTruncatedPacket(stream, (flags & 4) != 0);

  VMemoryReader reader(stream);
  VPacketReader packets;
  CheckAmplification(stream, 0, [&] { outcome.HandshakeAccepted = static_cast<bool>(packets.ReadHandshake(reader)); });
  Check(reader.Position() <= reader.Length() || reader.Length() == 0,
        "handshake left the position past the packet");
  if (!outcome.HandshakeAccepted) return outcome;
  if (flags & 2) Check(packets.OfferedTypes().size() == 22, "default handshake not read whole");
  uint64_t h = packets.OfferedTypes().size();

  std::deque<VPacketDelivery> kept;
  for (std::size_t n = 0; n < MaxPackets && reader.Unread() != 0; ++n) {
    VPacketDelivery delivery;
    bool accepted = false;
    const std::size_t offset = stream.size() - reader.Unread();
    CheckAmplification(stream, offset, [&] { accepted = static_cast<bool>(packets.ReadPacket(reader, convert, delivery)); });
    if (!accepted) {
      outcome.PacketRejected = true;
      Check(!delivery.Static && !delivery.Dynamic, "a rejected packet delivered a container");
      break;
    }
    ++outcome.PacketsAccepted;
    if (delivery.Static) h = Mix(h, Touch(*delivery.Static));
    if (delivery.Dynamic) h = Mix(h, Touch(*delivery.Dynamic));
    kept.push_back(std::move(delivery));
    if (kept.size() > 2) kept.pop_front();
  }
  // What is still held was carried over or delivered; read it once more now
  // that later packets may have shared parts of it.
  for (const VPacketDelivery& delivery : kept) {
    if (delivery.Static) h = Mix(h, Touch(*delivery.Static));
    if (delivery.Dynamic) h = Mix(h, Touch(*delivery.Dynamic));
  }
  Sink = Sink + h;
  return outcome;
}

VOutcome RunRecordingReader(const uint8_t* data, std::size_t size) {
  VOutcome outcome;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  QSRecording::VReader reader(in);
  if (!reader.ReadHeader()) {
    Check(!reader.Error().empty(), "a header refused without a reason");
    outcome.RecordingRefused = true;
    return outcome;
  }
  QSRecording::VPacketDecoder decoder;
  std::vector<uint8_t> packet;
  std::vector<uint8_t> again;
  std::vector<QSRecording::VObjectSpan> objects;
  for (;;) {
    QSRecording::VRecordEntry entry;
    const QSRecording::ENext next = reader.Next(entry, &packet);
    if (next != QSRecording::ENext::Record) {
      Check(next == QSRecording::ENext::End || !reader.Error().empty(), "a record refused without a reason");
      outcome.RecordingCutShort = next == QSRecording::ENext::Truncated;
      outcome.RecordingRefused = next == QSRecording::ENext::Invalid;
      break;
    }
    Check(entry.PacketBytes == packet.size() && entry.PacketOffset + entry.PacketBytes <= size,
          "a record's packet lies outside the input");
    Check(reader.ReadPacketAt(entry, again) && again == packet, "a record reads back differently at its offset");
    if (QSRecording::SplitObjects(packet, objects)) {
      for (const QSRecording::VObjectSpan& object : objects) {
        Check(object.Begin + 8 == object.PayloadBegin && object.PayloadBegin <= object.End && object.End <= packet.size(),
              "an object cut out of a packet lies outside it");
      }
    }
    VPacketDelivery delivery;
    const bool accepted = outcome.RecordsRead == 0 ? decoder.Handshake(packet) : decoder.Packet(packet, delivery);
    if (!accepted) break;
    if (delivery.Static) Sink = Sink + Touch(*delivery.Static);
    ++outcome.RecordsRead;
  }
  return outcome;
}

VOutcome RunVideoConversion(const uint8_t* data, std::size_t size) {
  VOutcome outcome;
  if (size < 5) return outcome;
  static constexpr int32_t Formats[] = {2, 3, 5, 7, 0, 1, 4, -1};
  VVideoFrame frame;
  frame.Width = static_cast<uint16_t>(data[0] | (data[1] << 8));
  frame.Height = static_cast<uint16_t>(data[2] | (data[3] << 8));
  const uint8_t selector = data[4];
  frame.Format = (selector & 0x80) ? Formats[selector & 7] : Formats[selector % 3];
  frame.Data.assign(data + 5, data + size);
  frame.Value0 = 11;
  frame.Value3 = 12;
  const VVideoFrame before = frame;

  // One buffer for every frame, as the stream client keeps one per
  // connection: what an earlier frame left in it must not leak into this one.
  static std::vector<uint8_t> buffer;
  ConvertVideoFrame(frame, buffer);

  Check(frame.Width == before.Width && frame.Height == before.Height && frame.Value0 == 11 &&
            frame.Value3 == 12,
        "conversion changed a field other than format and data");
  const std::size_t w = before.Width;
  const std::size_t h = before.Height;
  const bool mosaic = before.Format == 2 || before.Format == 3 || before.Format == 5;
  if (!mosaic || before.Data.size() < w * h) {
    // Not a mosaic, or fewer bytes than the image needs: left as received.
    Check(frame.Format == before.Format && frame.Data == before.Data,
          "a frame that cannot be converted was changed");
  } else {
    outcome.Converted = true;
    Check(frame.Format == 7, "a converted frame is not format 7");
    Check(frame.Data.size() == w * h * 3, "a converted frame has the wrong size");
    Check(frame.Data == ReferenceConversion(before.Format, w, h, before.Data.data()),
          "converted pixels differ from the 2x2 window rule");
  }
  Sink = Sink + TouchBytes(frame.Data);
  return outcome;
}

VOutcome RunDecoder(const uint8_t* data, std::size_t size) {
  VOutcome outcome;
  if (size == 0) return outcome;
  const int32_t type = SelectorTypes[data[0] % DecoderCount];
  const uint8_t* payload = data + 1;
  const std::size_t payloadSize = size - 1;
  VMemoryReader reader(std::vector<uint8_t>(payload, payload + payloadSize));
  // Fill(0) fails and leaves an empty buffer: the decoders then see a packet
  // without bytes, which they must reject.
  reader.Fill(static_cast<uint32_t>(payloadSize));

  bool ok = false;
  LumoraQSServe::VBytes encoded;
  uint64_t h = 0;
  switch (RouteOf(type)) {
    case ERoute::Static: {
      VStaticObjects objects;
      ok = DecodeStaticObject(type, reader, objects);
      if (!ok) break;
      switch (type) {
        case StreamInfo: encoded = LumoraQSServe::StreamInfoPayload(objects.StreamValue); break;
        case SubjectInfo: encoded = LumoraQSServe::SubjectInfoPayload(objects.Subjects.at(0)); break;
        case DeviceInfo: encoded = LumoraQSServe::DeviceInfoPayload(objects.Devices.at(0)); break;
        case DeviceOutputInfo:
          encoded = LumoraQSServe::DeviceOutputInfoPayload(objects.DeviceOutputs.at(0));
          break;
        case NamedVectorInfo:
          encoded = LumoraQSServe::NamedVectorInfoPayload(objects.NamedVectorInfos.at(0));
          break;
        case NamedParameterInfo:
          encoded = LumoraQSServe::NamedParameterInfoPayload(objects.NamedParameterInfos.at(0));
          break;
        case WordBlockInfo: encoded = LumoraQSServe::WordBlockInfoPayload(objects.WordBlockInfos.at(0)); break;
        default: Fail("static selector without an encoder");
      }
      h = Touch(objects);
      break;
    }
    case ERoute::Dynamic: {
      VDynamicObjects objects;
      ok = DecodeDynamicObject(type, reader, objects);
      if (!ok) break;
      switch (type) {
        case FrameNumber: encoded = LumoraQSServe::FrameNumberPayload(objects.FrameNumber); break;
        case MarkerPositions: encoded = LumoraQSServe::MarkerPositionsPayload(objects.MarkerPositions); break;
        case MarkerRecords: encoded = LumoraQSServe::MarkerRecordsPayload(objects.MarkerRecords); break;
        case GlobalSegmentPoses:
          encoded = LumoraQSServe::SegmentPosesPayload(objects.GlobalSegmentPoses.at(0));
          break;
        case ForceData: encoded = LumoraQSServe::DeviceOutputDataPayload(objects.Forces.at(0)); break;
        case BlockData: encoded = LumoraQSServe::BlockDataPayload(objects.BlockDatas.at(0)); break;
        case ChunkData: encoded = LumoraQSServe::ChunkDataPayload(objects.ChunkDatas.at(0)); break;
        case ShortRecordData:
          encoded = LumoraQSServe::ShortRecordDataPayload(objects.ShortRecordDatas.at(0));
          break;
        case VideoFrame: encoded = LumoraQSServe::VideoFramePayload(*objects.VideoFrames.at(0)); break;
        default: Fail("dynamic selector without an encoder");
      }
      h = Touch(objects);
      break;
    }
    case ERoute::Summary: {
      VPacketSummary summary;
      ok = DecodePacketSummary(reader, summary);
      if (!ok) break;
      // Pairs encode back exactly; the carried types are a set, compared
      // with an independent reading of the bytes.
      LumoraQSServe::VWireBuffer pairs;
      pairs.Int32(static_cast<int32_t>(summary.Pairs.size()));
      for (const VSummaryPair& pair : summary.Pairs) pairs.Int32(pair.First).Int32(pair.Second);
      const std::size_t pairBytes = pairs.Size();
      Check(pairBytes <= payloadSize && std::memcmp(pairs.Bytes().data(), payload, pairBytes) == 0,
            "summary pairs do not encode back to their bytes");
      std::set<int32_t> expected;
      std::size_t used = 0;
      Check(ParseTypeList(payload + pairBytes, payloadSize - pairBytes, expected, used),
            "summary decoded although its type list does not fit");
      Check(expected == summary.CarriedTypes, "summary carried types differ from the bytes");
      Check(reader.Position() == pairBytes + used, "summary consumed a different number of bytes");
      h = summary.CarriedTypes.size();
      break;
    }
    case ERoute::Skipped: {
      // ObjectTypeList: only the handshake decodes it.
      std::set<int32_t> types;
      ok = DecodeObjectTypeList(reader, types);
      std::set<int32_t> expected;
      std::size_t used = 0;
      const bool fits = ParseTypeList(payload, payloadSize, expected, used);
      Check(ok == fits, "type list accepted or refused against its bytes");
      if (ok) {
        Check(expected == types, "type list differs from its bytes");
        Check(reader.Position() == used, "type list consumed a different number of bytes");
      }
      h = types.size();
      break;
    }
  }
  Check(reader.Position() <= reader.Length(), "a decoder left the position past the buffer");
  if (ok && (RouteOf(type) == ERoute::Static || RouteOf(type) == ERoute::Dynamic)) {
    CheckRoundTrip(encoded, payload, reader.Position(), ObjectTypeName(type));
  }
  outcome.Decoded = ok;
  Sink = Sink + h;
  return outcome;
}

}  // namespace QSFuzz
