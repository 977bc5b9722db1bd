#include "tools/recording/replay_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "streamio/object_types.h"

namespace QSRecording {

using LumoraQSSim::VBytes;
using LumoraQSStream::ERoute;
using LumoraQSStream::RouteOf;

namespace {

// Frame numbers are signed 32-bit on the wire; a raised number wraps the way
// the simulator's frame clock does.
int32_t Raised(int32_t number, int64_t by) {
  const int64_t raised = static_cast<int64_t>(number) + by;
  return raised > INT32_MAX ? static_cast<int32_t>(raised % 2147483648LL) : static_cast<int32_t>(raised);
}

// The minimum step from a recording's last packet to its first again.
constexpr int64_t MinLoopStepNs = 1000 * 1000;

}  // namespace

bool VReplaySource::Open(const std::string& path, const VReplayOptions& options) {
  Options = options;
  if (!File.Open(path)) {
    Message = File.Error();
    return false;
  }
  VReader& reader = File.Reader();
  VPacketDecoder decoder;
  std::vector<uint8_t> packet;
  std::vector<VObjectSpan> objects;
  bool first = true;
  for (;;) {
    VRecordEntry where;
    const ENext next = reader.Next(where, &packet);
    if (next == ENext::End) break;
    if (next == ENext::Truncated) {
      CutShort = reader.Error();
      break;
    }
    if (next == ENext::Invalid) {
      Message = reader.Error();
      return false;
    }
    const std::string at = "record " + std::to_string(where.Number) + " at byte " + std::to_string(where.RecordOffset);
    if (first) {
      if (!decoder.Handshake(packet)) {
        Message = at + " is not a handshake the library accepts (no valid list of offered types)";
        return false;
      }
      HandshakeBytes = packet;
      first = false;
      continue;
    }
    VPacketDelivery delivery;
    if (!decoder.Packet(packet, delivery)) {
      Message = at + " holds a packet the library refuses (an object that does not decode)";
      return false;
    }
    VEntry entry;
    entry.Where = where;
    entry.Whole = SplitObjects(packet, objects);
    for (const VObjectSpan& object : objects) {
      if (RouteOf(object.Type) == ERoute::Static) entry.HasStatic = true;
      // The last FrameNumber object of a packet is the one that counts.
      if (object.Type == LumoraQSStream::FrameNumber && object.End - object.PayloadBegin >= 4) {
        entry.FramePayload = object.PayloadBegin;
      }
    }
    if (!entry.Whole) entry.HasStatic = delivery.Static != nullptr;
    if (delivery.Dynamic) entry.FrameNumber = delivery.Dynamic->FrameNumber;
    if (entry.FramePayload != 0) {
      if (FrameSpan == 0 || entry.FrameNumber < MinFrame) MinFrame = entry.FrameNumber;
      if (FrameSpan == 0 || entry.FrameNumber > MaxFrame) MaxFrame = entry.FrameNumber;
      FrameSpan = static_cast<int64_t>(MaxFrame) - MinFrame + 1;
    }
    entry.StaticUpTo = (Entries.empty() ? 0 : Entries.back().StaticUpTo) + (entry.HasStatic ? 1 : 0);
    Entries.push_back(entry);
  }
  if (first) {
    Message = "the recording holds no packet";
    return false;
  }
  if (Entries.empty()) {
    Message = "the recording holds no packet after the handshake";
    return false;
  }
  const int64_t start = Entries.front().Where.ReceiveNs;
  for (VEntry& entry : Entries) entry.Time = entry.Where.ReceiveNs - start;
  const int64_t span = Entries.back().Time;
  const int64_t step = Entries.size() > 1 ? span / static_cast<int64_t>(Entries.size() - 1) : 0;
  LoopNs = span + std::max(step, MinLoopStepNs);
  return true;
}

double VReplaySource::Seconds() const { return Entries.empty() ? 0.0 : Entries.back().Time / 1e9; }

double VReplaySource::DueAt(int64_t frame) const {
  const int64_t count = static_cast<int64_t>(Entries.size());
  const int64_t pass = frame / count;
  const double ns = static_cast<double>(pass) * static_cast<double>(LoopNs) +
                    static_cast<double>(Entries[static_cast<std::size_t>(frame % count)].Time);
  return ns / 1e9 / Options.Speed;
}

int64_t VReplaySource::DueBy(double seconds) const {
  const double ns = seconds * Options.Speed * 1e9;
  if (!(ns >= 0.0)) return -1;
  const int64_t count = static_cast<int64_t>(Entries.size());
  const double passes = std::floor(ns / static_cast<double>(LoopNs));
  // Past the end without looping, or beyond any frame number that matters.
  if (!Options.Loop && passes >= 1.0) return count - 1;
  if (passes > 1e12) return INT64_MAX / 2;
  const int64_t pass = static_cast<int64_t>(passes);
  const double within = ns - passes * static_cast<double>(LoopNs);
  const auto after = std::upper_bound(Entries.begin(), Entries.end(), within,
                                      [](double t, const VEntry& entry) { return t < static_cast<double>(entry.Time); });
  return pass * count + (after - Entries.begin()) - 1;
}

int64_t VReplaySource::LastFrame() const { return Options.Loop ? -1 : static_cast<int64_t>(Entries.size()) - 1; }

bool VReplaySource::IsStaticType(int32_t type) const { return RouteOf(type) == ERoute::Static; }

bool VReplaySource::IsDynamicType(int32_t type) const { return RouteOf(type) == ERoute::Dynamic; }

uint64_t VReplaySource::ScenesUpTo(int64_t frame) const {
  if (frame < 0) return 0;
  const int64_t count = static_cast<int64_t>(Entries.size());
  return static_cast<uint64_t>(frame / count) * Entries.back().StaticUpTo +
         Entries[static_cast<std::size_t>(frame % count)].StaticUpTo;
}

bool VReplaySource::SceneChangedBetween(int64_t from, int64_t to) const {
  return to - 1 > from && ScenesUpTo(to - 1) > ScenesUpTo(from);
}

const VReplaySource::VEntry* VReplaySource::SceneFor(int64_t frame) const {
  const int64_t count = static_cast<int64_t>(Entries.size());
  std::size_t i = static_cast<std::size_t>(frame % count);
  // The newest packet with a description at or before this one; on a later
  // pass, the last one of the pass before.
  for (;;) {
    if (Entries[i].HasStatic) return &Entries[i];
    if (i == 0) break;
    --i;
  }
  if (frame < count) return nullptr;
  for (std::size_t j = Entries.size(); j-- > 0;) {
    if (Entries[j].HasStatic) return &Entries[j];
  }
  return nullptr;
}

VBytes VReplaySource::Packet(int64_t frame, const std::set<int32_t>& requested, bool withStatic) const {
  const int64_t count = static_cast<int64_t>(Entries.size());
  const VEntry& entry = Entries[static_cast<std::size_t>(frame % count)];
  const int64_t raiseBy = (frame / count) * FrameSpan;
  VBytes packet;
  VBytes scene;
  const VEntry* sceneEntry = withStatic && !entry.HasStatic ? SceneFor(frame) : nullptr;
  {
    std::lock_guard<std::mutex> lock(FileMutex);
    if (!File.Reader().ReadPacketAt(entry.Where, packet)) return LumoraQSSim::EncodePacket({});
    if (sceneEntry && !File.Reader().ReadPacketAt(sceneEntry->Where, scene)) sceneEntry = nullptr;
  }
  // A packet whose objects cannot be cut apart goes out as recorded.
  if (!entry.Whole) return packet;

  std::vector<VObjectSpan> objects;
  SplitObjects(packet, objects);
  auto wanted = [&requested](int32_t type) {
    return requested.count(type) != 0 || RouteOf(type) == ERoute::Summary;
  };
  bool asRecorded = sceneEntry == nullptr && (raiseBy == 0 || entry.FramePayload == 0);
  for (const VObjectSpan& object : objects) asRecorded = asRecorded && wanted(object.Type);
  if (asRecorded) return packet;

  if (raiseBy != 0 && entry.FramePayload != 0) {
    int32_t number = 0;
    std::memcpy(&number, packet.data() + entry.FramePayload, 4);
    number = Raised(number, raiseBy);
    std::memcpy(packet.data() + entry.FramePayload, &number, 4);
  }
  std::vector<VBytes> parts;
  if (sceneEntry && sceneEntry->Whole) {
    std::vector<VObjectSpan> sceneObjects;
    SplitObjects(scene, sceneObjects);
    for (const VObjectSpan& object : sceneObjects) {
      if (RouteOf(object.Type) == ERoute::Static && wanted(object.Type)) {
        parts.emplace_back(scene.begin() + object.Begin, scene.begin() + object.End);
      }
    }
  }
  for (const VObjectSpan& object : objects) {
    if (wanted(object.Type)) parts.emplace_back(packet.begin() + object.Begin, packet.begin() + object.End);
  }
  return LumoraQSSim::EncodePacket(parts);
}

}  // namespace QSRecording
